// File work shared by the server and the tools: SHA-256 of a byte stream,
// the writer that extracts archive entries into one folder (never leaving
// it, never following a link, never replacing a file), and durable writes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "upload/VoiceArchive.h"

namespace orvant::collect {

// A failure with the HTTP status it answers: 507 when the disk is full,
// 500 for any other fault of ours, 400 for a fault of the input.
class TCollectError : public std::runtime_error {
public:
    TCollectError(int status, const std::string& what) : std::runtime_error(what), fStatus(status) {}
    int Status() const { return fStatus; }

private:
    int fStatus;
};
// Raises TCollectError for errno e of the operation what (507 for ENOSPC
// and EDQUOT).
[[noreturn]] void RaiseErrno(int e, const std::string& what);

class TSha256 {
public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;
    void Update(const void* data, size_t n);
    // 64 lowercase hex digits; the hash is spent afterwards.
    std::string Hex();

private:
    void* fHash = nullptr;
};

// Lowercase hex of bytes.
std::string HexBytes(const void* data, size_t n);
// Now in UTC as "YYYY-MM-DDTHH:MM:SSZ".
std::string UtcTimestamp();

// Writes all of n bytes to fd (retrying short writes); raises on failure.
void WriteAll(int fd, const void* data, size_t n, const std::string& what);
// fsync of fd; raises on failure.
void SyncFd(int fd, const std::string& what);
// Opens path (a folder) and fsyncs it; raises on failure.
void SyncFolder(const std::string& path);
// Opens name in the folder dirFd (never following a link), reads it through
// SHA-256 and fsyncs it; returns the hash's hex.
std::string HashAndSyncAt(int dirFd, const std::string& name, const std::string& what);
// Free bytes for an unprivileged writer in the file system of path; -1 when unknown.
int64_t FreeBytes(const std::string& path);

struct TExtractedEntry {
    std::string name;
    uint64_t bytes = 0;
    std::string sha256;
};

// Extracts the entries the archive reader hands on into the folder dirFd
// (kept open by the caller), each created anew (O_EXCL, O_NOFOLLOW) with
// mode 0640; onEnd, when set, is called with each entry once it is closed
// (not synced: HashAndSyncAt does that). With hashEntries false the
// entries' sha256 stays empty (the caller hashes them elsewhere). An entry whose declared size exceeds
// the free space is refused as 507 before anything of it is written.
class TEntryWriter : public TArchiveEntrySink {
public:
    explicit TEntryWriter(int dirFd, std::string folderForMessages);
    ~TEntryWriter() override;
    void EntryBegin(const std::string& name, uint32_t size) override;
    void EntryData(const uint8_t* data, size_t n) override;
    void EntryEnd() override;
    const std::vector<TExtractedEntry>& Entries() const { return fEntries; }
    std::function<void(const TExtractedEntry&)> onEnd;
    bool hashEntries = true;

private:
    int fDir;
    std::string fFolder;
    int fFd = -1;
    std::unique_ptr<TSha256> fHash;
    std::vector<TExtractedEntry> fEntries;
};

}  // namespace orvant::collect
