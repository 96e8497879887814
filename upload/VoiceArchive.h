// The voice archive: a count, then per file its UTF-16LE name with a NUL,
// its size, and one independent zlib stream over its content. The collection
// server reads it by inflating each entry until its stream ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvant {

class TFileStream;
class TStream;

// What a long operation reports to the window that runs it: a progress bar,
// the chance to let pending window messages run, and whether the user has
// called the operation off meanwhile. Every member has an empty default, so a
// caller without a window overrides nothing.
class TArchiveProgress {
public:
    virtual ~TArchiveProgress() = default;
    virtual void SetProgressMax(int32_t /*max*/) {}
    virtual void SetProgressPosition(int32_t /*position*/) {}
    virtual void RepaintProgress() {}
    virtual void ProcessMessages() {}
    // Asked right after ProcessMessages: true stops the build.
    virtual bool Cancelled() { return false; }
};

// Largest file an entry can hold: its size field is a signed 32-bit count.
constexpr int64_t kMaxArchiveEntrySize = 0x7FFFFFFF;

// Creates the file for a new archive in folder (with a trailing '/'), named
// "v" + the local time t as "yymmddhhnnsszzz" + ".zlb", as a new file only
// its owner may read (never following a link, never replacing anything).
// When that name is taken, the next millisecond's name is tried, and so on.
// Sets path to the file's full path. Raises EFCreateError when the file
// cannot be created for another reason.
std::unique_ptr<TFileStream> CreateVoiceArchiveFile(const std::string& folder, std::string& path,
                                                    std::chrono::system_clock::time_point t =
                                                        std::chrono::system_clock::now());

// Writes the archive of files (full paths, in order) to archive, an empty
// stream. Each file is opened for reading with no sharing and streamed
// through its own compressor in chunks. Up to `threads` files (0: one per
// processor) are compressed at once, yet the bytes are the same as with one:
// entries are written strictly in list order. Memory stays bounded whatever
// the file sizes: each thread holds one chunk of input, one of output and
// its compressor; the entry being written may queue two chunks more. The
// compressed bytes of a file whose turn has not come yet wait in an unnamed
// private file in the temporary folder.
// Progress: the maximum is the number of files; after each entry is written
// the position is its index, and on every twentieth (0, 20, 40, ...) pending
// messages run, after which a Cancelled() progress stops the build (false is
// returned, the archive holds the entries so far). At the end, also after a
// failure, the position is the number of files.
// Raises the stream's exception when a file cannot be opened, read or
// written (EFOpenError, EReadError, EWriteError), Exception for a file of
// 2 GiB or more (before anything of its entry is written) and for a
// compressor error; a file's failure is raised when its turn comes.
bool WriteVoiceArchive(const std::vector<std::string>& files, TStream& archive, TArchiveProgress* progress = nullptr,
                       unsigned threads = 0);

// Creates archivePath as a new private file (EFCreateError when the name is
// taken) and writes the archive into it. Returns whether the build ran to
// its end and a file exists at archivePath. A failed build leaves the
// partial archive, closed.
bool BuildVoiceArchive(const std::vector<std::string>& files, const std::string& archivePath,
                       TArchiveProgress* progress = nullptr, unsigned threads = 0);

// What the archive reader hands on, entry by entry: the start of an entry
// (its checked name in UTF-8 and its declared size), its inflated bytes in
// pieces, and its end (all bytes arrived, exactly the declared size). A
// member may raise; the exception leaves Feed and the reader is spent.
class TArchiveEntrySink {
public:
    virtual ~TArchiveEntrySink() = default;
    virtual void EntryBegin(const std::string& name, uint32_t size) = 0;
    virtual void EntryData(const uint8_t* data, size_t n) = 0;
    virtual void EntryEnd() = 0;
};

// Most entries an archive may declare, and the longest name (in UTF-16
// code units, the NUL not counted) the reader accepts.
constexpr int32_t kMaxArchiveEntries = 1 << 20;
constexpr int32_t kMaxArchiveNameUnits = 255;

// True when name (UTF-16, no NUL) is a plain file name an archive entry may
// carry: 1 to kMaxArchiveNameUnits units, valid UTF-16 (no lone surrogate),
// no '/', '\\', NUL or control character, not "." or "..", no leading dot.
// Otherwise false with the reason in why.
bool IsSafeEntryName(const std::u16string& name, std::string& why);

// Reads a voice archive pushed to it in pieces of any size, inflating each
// entry as its bytes arrive; memory stays constant. The first byte that
// breaks the format stops it: Failed() is then true, Error() names the
// entry and the reason and ErrorOffset() is that byte's offset in the
// archive. Refused: a count below 0 or above kMaxArchiveEntries, a name
// length that is not even or out of range, a name that IsSafeEntryName
// refuses or that an earlier entry already had, a size below 0, a zlib
// stream that is corrupt, inflates past the declared size or ends short of
// it, and any byte after the last entry's stream. Finish() at the end of the
// input fails an archive that stopped short.
class TVoiceArchiveReader {
public:
    explicit TVoiceArchiveReader(TArchiveEntrySink& sink);
    ~TVoiceArchiveReader();
    TVoiceArchiveReader(const TVoiceArchiveReader&) = delete;
    TVoiceArchiveReader& operator=(const TVoiceArchiveReader&) = delete;

    // Reads n more bytes; false once the archive failed (this or earlier).
    bool Feed(const uint8_t* data, size_t n);
    // The input ended: true when every entry arrived whole and nothing more
    // was expected.
    bool Finish();

    bool Failed() const { return !fError.empty(); }
    // True once the last entry ended (or a count of 0 was read).
    bool Complete() const;
    const std::string& Error() const { return fError; }
    uint64_t ErrorOffset() const { return fErrorOffset; }
    uint64_t Offset() const { return fOffset; }   // bytes consumed so far
    int32_t Count() const { return fCount; }       // declared entries, -1 before the count
    int32_t Entries() const { return fEntry; }     // entries begun so far

private:
    struct Impl;
    bool Fail(uint64_t offset, const std::string& why);
    std::unique_ptr<Impl> fImpl;
    TArchiveEntrySink& fSink;
    std::string fError;
    uint64_t fErrorOffset = 0, fOffset = 0;
    int32_t fCount = -1, fEntry = 0;
};

}  // namespace orvant
