// The phrase record TWavInfo of each catalogue element: the file names of
// its reference sample (below samples/) and of its own take (in recorded/),
// and where it stands in the catalogue.
#pragma once

#include <string>

#include "app/Catalogue.h"

namespace orvant {

class TWavInfo {
public:
    // The record of catalogue element p, the index-th in document order,
    // looking for its sample in SamplesFolder(programFolder).
    TWavInfo(const TCataloguePhrase& p, int index, const std::string& programFolder);
    TWavInfo(const TWavInfo&) = delete;
    TWavInfo& operator=(const TWavInfo&) = delete;

    std::string caption;  // UTF-8
    std::string samplefile;
    std::string recfile;  // empty when the element has no "wav" attribute
    // False when the "wav" value is not a plain file name (it holds a path
    // delimiter or is "." or ".."): such a take name is never used as a path.
    bool recfileUsable = true;
    int index = 0;    // in document order, which is the tree's order
    int parent = -1;  // index of the enclosing element; -1 for the top
    int depth = 0;
};

}  // namespace orvant
