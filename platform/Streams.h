// Byte streams: the abstract TStream, a file stream with open and share
// modes, and a memory stream over one contiguous block.
#pragma once

#include <cstdint>
#include <string>

#include "platform/SysUtils.h"

namespace orvant {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class EStreamError : public Exception { using Exception::Exception; };
class EReadError : public EStreamError { using EStreamError::EStreamError; };
class EWriteError : public EStreamError { using EStreamError::EStreamError; };
class EFOpenError : public EStreamError { using EStreamError::EStreamError; };
class EFCreateError : public EStreamError { using EStreamError::EStreamError; };

class TStream {
public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Bytes transferred (0 at the end of the stream), or -1 when the
    // underlying store failed (errno tells why for file streams).
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    // New position from the beginning, or -1 when the seek failed.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
    virtual int64_t Size();
    // Truncates or extends; raises EStreamError when the store refuses.
    virtual void SetSize(int64_t newSize) = 0;

    // Whole transfers: raise EReadError / EWriteError when short.
    void ReadBuffer(void* buffer, int32_t count);
    void WriteBuffer(const void* buffer, int32_t count);
    // Copies count bytes from source's position (count 0: the whole source
    // from its beginning); returns the bytes copied.
    int64_t CopyFrom(TStream& source, int64_t count);
};

// Open modes (low nibble) and share modes (second nibble), combined with |.
enum : uint32_t {
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmShareCompat = 0x0000,  // treated as exclusive
    fmShareExclusive = 0x0010,
    fmShareDenyWrite = 0x0020,
    fmShareDenyNone = 0x0040,
    fmCreate = 0xFF00,  // create anew, emptying an existing file; read/write
    // With fmCreate: the file must not exist yet (a symbolic link at the name
    // counts as existing and is never followed) and only its owner may read
    // or write it (mode 0600). For files that hold private data in a shared
    // folder.
    fmCreateNewPrivate = 0x10000,
};

class TFileStream : public TStream {
public:
    // Raises EFCreateError ("Datei \"%s\" kann nicht erstellt werden. %s")
    // or EFOpenError ("Datei %s kann nicht geöffnet werden. %s").
    TFileStream(const std::string& fileName, uint32_t mode);
    ~TFileStream() override;
    // Raises the EFCreateError that creating fileName with mode (fmCreate
    // and a share mode) would raise because another stream holds the file;
    // creates and changes nothing.
    static void CheckCreate(const std::string& fileName, uint32_t mode);

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t newSize) override;

    const std::string& FileName() const { return fFileName; }
    int Handle() const { return fHandle; }

private:
    std::string fFileName;
    int fHandle = -1;
    struct ShareEntry;
    ShareEntry* fShare = nullptr;
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    ~TMemoryStream() override;

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return fSize; }
    void SetSize(int64_t newSize) override;

    // The one contiguous block holding the bytes; valid until the size grows.
    void* Memory() { return fMemory; }
    const void* Memory() const { return fMemory; }
    void Clear();
    void LoadFromStream(TStream& source);
    void SaveToStream(TStream& dest);
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);

private:
    void SetCapacity(int64_t capacity);
    uint8_t* fMemory = nullptr;
    int64_t fSize = 0;
    int64_t fCapacity = 0;
    int64_t fPosition = 0;
};

}  // namespace orvant
