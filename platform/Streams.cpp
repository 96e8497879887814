#include "platform/Streams.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvant {

// ---------------------------------------------------------------- TStream

int64_t TStream::Size() {
    const int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    const int64_t end = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return end;
}

void TStream::ReadBuffer(void* buffer, int32_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream-Lesefehler");
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream-Schreibfehler");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    constexpr int32_t kChunk = 1 << 20;
    std::vector<uint8_t> buf(size_t(std::min<int64_t>(std::max<int64_t>(count, 1), kChunk)));
    int64_t done = 0;
    while (done < count) {
        const int32_t n = int32_t(std::min<int64_t>(count - done, int64_t(buf.size())));
        source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        done += n;
    }
    return done;
}

// ------------------------------------------------------------ TFileStream
//
// Share modes. Every open file stream of the process is entered in one table
// keyed by device and inode with the access it has and the access it denies
// to others; an open that conflicts with an entry fails. Between processes
// the same rule is kept with open-file-description locks on bytes far past
// any real end of file: holding access X is a read lock on byte ACC+X, denying
// X is a read lock on byte DENY+X, and each side probes the other's byte with
// a write-lock test first.

namespace {

enum : unsigned { kAccRead = 1, kAccWrite = 2 };
constexpr off_t kLockBase = off_t(0x7FFFFFFF00000000LL);
constexpr off_t kAccByte = kLockBase;       // + 0 read, + 1 write
constexpr off_t kDenyByte = kLockBase + 8;  // + 0 read, + 1 write

struct ShareRecord {
    dev_t dev;
    ino_t ino;
    unsigned access;
    unsigned denied;
};

std::mutex gShareLock;
std::list<ShareRecord> gShareTable;

unsigned AccessOf(uint32_t mode) {
    if (mode == fmCreate || (mode & 0xFF00) == 0xFF00) return kAccRead | kAccWrite;
    switch (mode & 3) {
        case fmOpenWrite: return kAccWrite;
        case fmOpenReadWrite: return kAccRead | kAccWrite;
        default: return kAccRead;
    }
}

unsigned DeniedOf(uint32_t mode) {
    switch (mode & 0xF0) {
        case fmShareDenyNone: return 0;
        case fmShareDenyWrite: return kAccWrite;
        case 0x30: return kAccRead;  // deny read
        default: return kAccRead | kAccWrite;  // exclusive and compat
    }
}

bool LockHeldByOthers(int fd, off_t byte) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;  // no lock support: allow
    return fl.l_type != F_UNLCK;
}

bool TakeReadLock(int fd, off_t byte) {
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &fl) == 0 || errno == EINVAL || errno == ENOLCK ||
           errno == EBADF;  // a write-only descriptor cannot hold a read lock
}

// Empty string when the open may proceed, else the reason it may not.
std::string CheckProcessConflicts(int fd, unsigned access, unsigned denied) {
    for (unsigned bit = 0; bit < 2; ++bit) {
        const unsigned a = 1u << bit;
        if ((access & a) && LockHeldByOthers(fd, kDenyByte + bit))
            return "Eine andere Anwendung hält die Datei gesperrt.";
        if ((denied & a) && LockHeldByOthers(fd, kAccByte + bit))
            return "Eine andere Anwendung hat die Datei geöffnet.";
    }
    for (unsigned bit = 0; bit < 2; ++bit) {
        const unsigned a = 1u << bit;
        if ((access & a) && !TakeReadLock(fd, kAccByte + bit))
            return "Eine andere Anwendung hält die Datei gesperrt.";
        if ((denied & a) && !TakeReadLock(fd, kDenyByte + bit))
            return "Eine andere Anwendung hat die Datei geöffnet.";
    }
    return {};
}

// Empty string when the file open on fd may be opened with access, denying
// denied, by the rules of this process and of others; else the reason. Holds
// gShareLock.
std::string ShareConflict(int fd, const struct stat& st, unsigned access, unsigned denied) {
    for (const auto& r : gShareTable) {
        if (r.dev != st.st_dev || r.ino != st.st_ino) continue;
        if ((access & r.denied) || (r.access & denied))
            return "Ein anderer Datenstrom dieses Programms hält die Datei geöffnet.";
    }
    return CheckProcessConflicts(fd, access, denied);
}

}  // namespace

void TFileStream::CheckCreate(const std::string& fileName, uint32_t mode) {
    const std::string name = ExpandFileName(fileName);
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;  // nothing there to share: the create itself will tell
    struct stat st {};
    std::string reason;
    if (::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) {
        std::lock_guard<std::mutex> g(gShareLock);
        reason = ShareConflict(fd, st, AccessOf(fmCreate), DeniedOf(mode & 0xF0));
    }
    ::close(fd);  // lets go of the probe's locks too
    if (!reason.empty()) throw EFCreateError("Datei \"" + name + "\" kann nicht erstellt werden. " + reason);
}

struct TFileStream::ShareEntry {
    std::list<ShareRecord>::iterator it;
};

TFileStream::TFileStream(const std::string& fileName, uint32_t mode)
    : fFileName(ExpandFileName(fileName)) {
    const bool create = (mode & 0xFF00) == 0xFF00;
    const unsigned access = AccessOf(mode);
    const unsigned denied = DeniedOf(create ? (mode & 0xF0) : mode);
    auto fail = [&](const std::string& reason) {
        if (fHandle >= 0) ::close(fHandle);
        fHandle = -1;
        if (create)
            throw EFCreateError("Datei \"" + fFileName + "\" kann nicht erstellt werden. " + reason);
        throw EFOpenError("Datei " + fFileName + " kann nicht geöffnet werden. " + reason);
    };

    int flags = O_CLOEXEC;
    if (access == (kAccRead | kAccWrite)) flags |= O_RDWR;
    else if (access == kAccWrite) flags |= O_WRONLY;
    else flags |= O_RDONLY;
    // A create must not empty a file that another stream is sharing with us
    // on terms that forbid it, so truncation waits for the share check.
    if (create) flags |= O_CREAT;
    const bool privateNew = create && (mode & fmCreateNewPrivate);
    if (privateNew) flags |= O_EXCL | O_NOFOLLOW;
    fHandle = ::open(fFileName.c_str(), flags, privateNew ? 0600 : 0666);
    if (fHandle < 0) fail(SysErrorMessage(errno));

    struct stat st {};
    if (::fstat(fHandle, &st) != 0) fail(SysErrorMessage(errno));
    if (S_ISDIR(st.st_mode)) fail(SysErrorMessage(EISDIR));

    {
        std::lock_guard<std::mutex> g(gShareLock);
        const std::string reason = ShareConflict(fHandle, st, access, denied);
        if (!reason.empty()) fail(reason);
        gShareTable.push_back({st.st_dev, st.st_ino, access, denied});
        fShare = new ShareEntry{std::prev(gShareTable.end())};
    }
    if (create && ::ftruncate(fHandle, 0) != 0) {
        const int e = errno;
        {
            std::lock_guard<std::mutex> g(gShareLock);
            gShareTable.erase(fShare->it);
        }
        delete fShare;
        fShare = nullptr;
        fail(SysErrorMessage(e));
    }
}

TFileStream::~TFileStream() {
    if (fShare) {
        std::lock_guard<std::mutex> g(gShareLock);
        gShareTable.erase(fShare->it);
    }
    delete fShare;
    if (fHandle >= 0) ::close(fHandle);
}

namespace {

// Moves count bytes with io (read or write on fd), retrying what a signal
// interrupts and what comes short: the bytes moved, or -1 when an error
// came before any byte.
template <class TBuffer, class TIo>
int32_t WholeTransfer(int fd, TBuffer* buffer, int32_t count, TIo io) {
    if (count <= 0) return 0;
    size_t done = 0;
    while (done < size_t(count)) {
        const ssize_t n = io(fd, buffer + done, size_t(count) - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done ? int32_t(done) : -1;
        }
        if (n == 0) break;
        done += size_t(n);
    }
    return int32_t(done);
}

}  // namespace

int32_t TFileStream::Read(void* buffer, int32_t count) {
    return WholeTransfer(fHandle, static_cast<char*>(buffer), count, ::read);
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
    return WholeTransfer(fHandle, static_cast<const char*>(buffer), count, ::write);
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                       : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                          : SEEK_END;
    const off_t r = ::lseek(fHandle, off_t(offset), whence);
    return r < 0 ? -1 : int64_t(r);
}

void TFileStream::SetSize(int64_t newSize) {
    const int64_t pos = Position();
    if (newSize < 0 || ::ftruncate(fHandle, off_t(newSize)) != 0)
        throw EStreamError("Datei " + fFileName + ": " + SysErrorMessage(newSize < 0 ? EINVAL : errno));
    if (pos > newSize) Seek(newSize, TSeekOrigin::soBeginning);
}

// ---------------------------------------------------------- TMemoryStream

TMemoryStream::~TMemoryStream() { std::free(fMemory); }

void TMemoryStream::SetCapacity(int64_t capacity) {
    if (capacity == fCapacity) return;
    if (capacity == 0) {
        std::free(fMemory);
        fMemory = nullptr;
        fCapacity = 0;
        return;
    }
    void* p = std::realloc(fMemory, size_t(capacity));
    if (!p) throw EStreamError("Zu wenig Arbeitsspeicher");
    fMemory = static_cast<uint8_t*>(p);
    fCapacity = capacity;
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
    if (count <= 0 || fPosition >= fSize) return 0;
    const int64_t n = std::min<int64_t>(count, fSize - fPosition);
    std::memcpy(buffer, fMemory + fPosition, size_t(n));
    fPosition += n;
    return int32_t(n);
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    const int64_t end = fPosition + count;
    if (end > fCapacity) {
        // Grow geometrically so that appending stays linear overall.
        int64_t cap = std::max<int64_t>(end, fCapacity + fCapacity / 2);
        cap = (cap + 0xFFFF) & ~int64_t(0xFFFF);
        try {
            SetCapacity(cap);
        } catch (const EStreamError&) {
            return -1;
        }
    }
    if (fPosition > fSize) std::memset(fMemory + fSize, 0, size_t(fPosition - fSize));
    std::memcpy(fMemory + fPosition, buffer, size_t(count));
    fPosition = end;
    if (end > fSize) fSize = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == TSeekOrigin::soBeginning ? 0
                   : origin == TSeekOrigin::soCurrent ? fPosition
                                                      : fSize;
    if (offset > 0 && base > INT64_MAX - offset) return -1;
    const int64_t p = base + offset;
    if (p < 0) return -1;
    fPosition = p;
    return p;
}

void TMemoryStream::SetSize(int64_t newSize) {
    if (newSize < 0) throw EStreamError("Ungültige Streamgröße");
    const int64_t old = fSize;
    if (newSize > fCapacity) SetCapacity(newSize);
    if (newSize > old) std::memset(fMemory + old, 0, size_t(newSize - old));
    fSize = newSize;
    if (fPosition > newSize) fPosition = newSize;
}

void TMemoryStream::Clear() {
    SetCapacity(0);
    fSize = 0;
    fPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
    source.SetPosition(0);
    const int64_t n = source.Size();
    SetSize(n);
    if (n > 0) source.ReadBuffer(fMemory, int32_t(n));
    fPosition = 0;
}

void TMemoryStream::SaveToStream(TStream& dest) {
    if (fSize > 0) dest.WriteBuffer(fMemory, int32_t(fSize));
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream f(fileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(f);
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
    TFileStream f(fileName, fmCreate);
    SaveToStream(f);
}

}  // namespace orvant
