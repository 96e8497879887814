#include "app/WavInfo.h"

#include "platform/SysUtils.h"

namespace orvant {

TWavInfo::TWavInfo(const TCataloguePhrase& p, int index_, const std::string& programFolder)
    : caption(p.caption),
      samplefile(p.SampleFile(SamplesFolder(programFolder))),
      recfile(p.TakeFile()),
      recfileUsable(!p.hasWav || p.TakePlain()),
      index(index_),
      parent(p.parent),
      depth(p.depth) {}

}  // namespace orvant
