// The voice archive: a count, then per file its UTF-16LE name with a NUL,
// its size, and one independent zlib stream over its content. The collection
// server reads it by inflating each entry until its stream ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvant {

// What a long operation reports to the window that runs it: a progress bar
// and the chance to let pending window messages run. Every member has an
// empty default, so a caller without a window overrides nothing.
class TArchiveProgress {
public:
    virtual ~TArchiveProgress() = default;
    virtual void SetProgressMax(int32_t /*max*/) {}
    virtual void SetProgressPosition(int32_t /*position*/) {}
    virtual void RepaintProgress() {}
    virtual void ProcessMessages() {}
};

// Largest file an entry can hold: its size field is a signed 32-bit count.
constexpr int64_t kMaxArchiveEntrySize = 0x7FFFFFFF;

// Packs the files (full paths, in order) into a new archive at archivePath,
// replacing any file there. Each file is opened for reading with no sharing,
// streamed through the compressor in chunks and its compressed bytes written
// straight into the archive. The progress maximum is the number of files;
// after each file the position is its index and on every twentieth file
// (0, 20, 40, ...) pending messages run; at the end, also after a failure,
// the position is the number of files.
// Returns whether a file exists at archivePath afterwards. Raises the
// stream's exception when a file cannot be opened, read, created or written
// (EFOpenError, EFCreateError, EReadError, EWriteError), Exception for a file
// of 2 GiB or more (before anything of its entry is written) and for a
// compressor error. A failed build leaves the partial archive, closed.
bool BuildVoiceArchive(const std::vector<std::string>& files, const std::string& archivePath,
                       TArchiveProgress* progress = nullptr);

}  // namespace orvant
