#include "collect/Files.h"

#include <fcntl.h>
#include <gnutls/crypto.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstring>

namespace orvant::collect {

void RaiseErrno(int e, const std::string& what) {
    const bool full = e == ENOSPC || e == EDQUOT;
    throw TCollectError(full ? 507 : 500, what + ": " + (full ? "no space left on the store's disk" : std::strerror(e)));
}

TSha256::TSha256() {
    gnutls_hash_hd_t h;
    if (gnutls_hash_init(&h, GNUTLS_DIG_SHA256) < 0) throw TCollectError(500, "cannot start SHA-256");
    fHash = h;
}
TSha256::~TSha256() {
    if (fHash) gnutls_hash_deinit(static_cast<gnutls_hash_hd_t>(fHash), nullptr);
}
void TSha256::Update(const void* data, size_t n) {
    if (n) gnutls_hash(static_cast<gnutls_hash_hd_t>(fHash), data, n);
}
std::string TSha256::Hex() {
    unsigned char d[32];
    gnutls_hash_deinit(static_cast<gnutls_hash_hd_t>(fHash), d);
    fHash = nullptr;
    return HexBytes(d, sizeof d);
}

std::string HexBytes(const void* data, size_t n) {
    static const char* const hex = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<const unsigned char*>(data)[i];
        s += hex[c >> 4];
        s += hex[c & 15];
    }
    return s;
}

std::string UtcTimestamp() {
    const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

void WriteAll(int fd, const void* data, size_t n, const std::string& what) {
    auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t k = ::write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) RaiseErrno(errno, "cannot write " + what);
        p += k;
        n -= size_t(k);
    }
}

void SyncFd(int fd, const std::string& what) {
    if (::fsync(fd) != 0) RaiseErrno(errno, "cannot sync " + what);
}

void SyncFolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) RaiseErrno(errno, "cannot open " + path);
    const int r = ::fsync(fd);
    const int e = errno;
    ::close(fd);
    if (r != 0) RaiseErrno(e, "cannot sync " + path);
}

std::string HashAndSyncAt(int dirFd, const std::string& name, const std::string& what) {
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) RaiseErrno(errno, "cannot open " + what);
    try {
        TSha256 hash;
        std::vector<uint8_t> buf(256 * 1024);
        for (;;) {
            const ssize_t k = ::read(fd, buf.data(), buf.size());
            if (k < 0 && errno == EINTR) continue;
            if (k < 0) RaiseErrno(errno, "cannot read " + what);
            if (k == 0) break;
            hash.Update(buf.data(), size_t(k));
        }
        SyncFd(fd, what);
        ::close(fd);
        return hash.Hex();
    } catch (...) {
        ::close(fd);
        throw;
    }
}

int64_t FreeBytes(const std::string& path) {
    struct statvfs v {};
    if (::statvfs(path.c_str(), &v) != 0) return -1;
    return int64_t(v.f_bavail) * int64_t(v.f_frsize);
}

TEntryWriter::TEntryWriter(int dirFd, std::string folderForMessages)
    : fDir(dirFd), fFolder(std::move(folderForMessages)) {}

TEntryWriter::~TEntryWriter() {
    if (fFd >= 0) ::close(fFd);
}

void TEntryWriter::EntryBegin(const std::string& name, uint32_t size) {
    struct statvfs v {};
    if (::fstatvfs(fDir, &v) == 0 && uint64_t(v.f_bavail) * v.f_frsize < size)
        throw TCollectError(507, "no space left on the store's disk for entry \"" + name + "\" of " +
                                     std::to_string(size) + " bytes");
    fFd = ::openat(fDir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fFd < 0) {
        if (errno == EEXIST) throw TCollectError(400, "refusing to overwrite " + fFolder + "/" + name);
        RaiseErrno(errno, "cannot create " + fFolder + "/" + name);
    }
    if (hashEntries) fHash = std::make_unique<TSha256>();
    fEntries.push_back({name, 0, {}});
}

void TEntryWriter::EntryData(const uint8_t* data, size_t n) {
    WriteAll(fFd, data, n, fFolder + "/" + fEntries.back().name);
    if (fHash) fHash->Update(data, n);
    fEntries.back().bytes += n;
}

void TEntryWriter::EntryEnd() {
    TExtractedEntry& e = fEntries.back();
    const int fd = fFd;
    fFd = -1;
    if (::close(fd) != 0) RaiseErrno(errno, "cannot write " + fFolder + "/" + e.name);
    if (fHash) e.sha256 = fHash->Hex();
    fHash.reset();
    if (onEnd) onEnd(e);
}

}  // namespace orvant::collect
