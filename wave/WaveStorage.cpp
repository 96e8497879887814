// The wave stream adapter: cached WAVE details, sequential read, complete
// rewrite, whole-data access, load/save/assign and change notification.
#include "wave/WaveStorage.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "wave/WaveStorageEditing.h"

namespace orvant {

// ------------------------------------------------------------ TPersistent

void TPersistent::Assign(const TPersistent* Source) {
    if (!Source) AssignError(nullptr);
    Source->AssignTo(this);
}

void TPersistent::AssignTo(TPersistent* Dest) const { Dest->AssignError(this); }

void TPersistent::AssignError(const TPersistent* Source) const {
    const std::string sourceName = Source ? Source->ClassName() : "nil";
    throw EConvertError(sourceName + " kann nicht zu " + ClassName() + " zugewiesen werden");
}

// ------------------------------------------------------------ helpers

namespace {

// Whole transfers of up to 4 GiB between memory and a stream position, in
// pieces the stream's 32-bit counts can carry. Bytes actually transferred.
constexpr uint32_t kPiece = 1u << 30;

uint64_t ReadAt(TStream& s, int64_t pos, void* data, uint32_t size) {
    if (s.Seek(pos, TSeekOrigin::soBeginning) != pos) return 0;
    uint64_t done = 0;
    while (done < size) {
        const int32_t n = s.Read(static_cast<uint8_t*>(data) + done, int32_t(std::min<uint64_t>(size - done, kPiece)));
        if (n <= 0) break;
        done += uint64_t(n);
    }
    return done;
}

uint64_t WriteAt(TStream& s, int64_t pos, const void* data, uint32_t size) {
    if (s.Seek(pos, TSeekOrigin::soBeginning) != pos) return 0;
    return WriteInPieces(s, data, size);
}

}  // namespace

// ------------------------------------------------------------ life

TWaveStreamAdapter::TWaveStreamAdapter(TStream* AStream, TStreamOwnership AOwnership)
    : fStream(AStream), fOwnership(AOwnership) {}

TWaveStreamAdapter::~TWaveStreamAdapter() {
    // Clean-up must not throw out of a destructor; a failure to finish the
    // image leaves it with placeholder sizes, which parses as not valid.
    try {
        if (fState == wssReading) EndRead();
        if (fState == wssWriting) EndRewrite();
    } catch (...) {
    }
    if (mmIO) mmioClose(mmIO);
    FreeWaveFormat(fWaveFormat);
    if (fOwnership == soOwned) delete fStream;
}

// ------------------------------------------------------------ details

bool TWaveStreamAdapter::ReparseHeader() {
    if (fModified && fState != wssWriting) {
        fModified = false;
        FreeWaveFormat(fWaveFormat);
        fWaveFormat = nullptr;
        fValid = ParseStreamWaveHeader(fStream, fWaveFormat, fDataSize, fDataOffset);
        if (!fValid) fDataSize = 0;
        NotifyChanged();
    }
    return fValid;
}

void TWaveStreamAdapter::NotifyChanging() {
    if (fModified) return;
    fValid = false;
    fModified = true;
    if (fOnChanging) fOnChanging(this);
}

void TWaveStreamAdapter::NotifyChanged() {
    if (fOnChange) fOnChange(this);
}

void TWaveStreamAdapter::Refresh() { fModified = true; }

bool TWaveStreamAdapter::Empty() { return fStream->Size() == 0; }

uint32_t TWaveStreamAdapter::DataSize() { return ReparseHeader() ? fDataSize : 0; }

uint32_t TWaveStreamAdapter::DataOffset() { return ReparseHeader() ? fDataOffset : 0; }

TPCMFormat TWaveStreamAdapter::PCMFormat() { return ReparseHeader() ? WaveFormatToPCMFormat(fWaveFormat) : nonePCM; }

PWaveFormatEx TWaveStreamAdapter::WaveFormat() { return ReparseHeader() ? fWaveFormat : nullptr; }

std::string TWaveStreamAdapter::AudioFormat() {
    return ReparseHeader() ? DescribeWaveFormat(fWaveFormat) : std::string();
}

uint32_t TWaveStreamAdapter::Length() { return ReparseHeader() ? MsForBytes(fWaveFormat, fDataSize) : 0; }

uint32_t TWaveStreamAdapter::BitRate() { return ReparseHeader() ? NominalBitRate(fWaveFormat) : 0; }

uint32_t TWaveStreamAdapter::BytesForMs(uint32_t Ms) { return fWaveFormat ? BlockBytesForMs(fWaveFormat, Ms) : 0; }

int TWaveStreamAdapter::PeakLevel() {
    void* data;
    if (!AcquireData(data, false)) return -1;
    const int level = PeakPercent(data, fDataSize, fWaveFormat);
    ReleaseData(data, false);
    return level;
}

int64_t TWaveStreamAdapter::Position() {
    if (fState == wssReady || !mmIO) return -1;
    const int64_t pos = mmioSeek(mmIO, 0, 1);
    return pos < 0 ? -1 : pos - int64_t(fDataOffset);
}

void TWaveStreamAdapter::SetPosition(int64_t value) {
    if (fState == wssReady || !mmIO) return;
    if (value > INT64_MAX - int64_t(fDataOffset)) return;  // no stream reaches that far
    mmioSeek(mmIO, int64_t(fDataOffset) + value, 0);
}

// ------------------------------------------------------------ whole data

uint8_t* TWaveStreamAdapter::MemoryBlock() const {
    auto* m = dynamic_cast<TMemoryStream*>(fStream);
    return m ? static_cast<uint8_t*>(m->Memory()) : nullptr;
}

bool TWaveStreamAdapter::AcquireData(void*& Data, bool ForceCopy) {
    Data = nullptr;
    if (!ReparseHeader() || fDataSize == 0) return false;
    try {
        // A data chunk that claims more than the stream holds cannot be
        // handed out whole: neither as a pointer (the caller would run past
        // the block) nor as a copy (it would be short, and the allocation
        // would be sized by a number from the file, not by the stream).
        if (int64_t(fDataOffset) + int64_t(fDataSize) > fStream->Size()) return false;
        if (!ForceCopy) {
            if (uint8_t* block = MemoryBlock()) {
                Data = block + fDataOffset;
                fDirectBlocks.push_back(Data);
                return true;
            }
        }
        void* copy = std::malloc(fDataSize);
        if (!copy) return false;
        if (ReadAt(*fStream, fDataOffset, copy, fDataSize) != fDataSize) {
            std::free(copy);
            return false;
        }
        Data = copy;
        return true;
    } catch (...) {
        Data = nullptr;
        return false;
    }
}

bool TWaveStreamAdapter::ReleaseData(void* Data, bool WriteBack) {
    if (!Data) return false;
    // A pointer into the stream's memory: changes are already in place. It
    // is recognised also after the block has moved, so that such a pointer
    // is never taken for a copy and freed.
    auto it = std::find(fDirectBlocks.begin(), fDirectBlocks.end(), Data);
    if (it != fDirectBlocks.end()) {
        fDirectBlocks.erase(it);
        return true;
    }
    if (uint8_t* block = MemoryBlock(); block && Data == block + fDataOffset) return true;
    bool ok = true;
    if (WriteBack) {
        try {
            ok = WriteAt(*fStream, fDataOffset, Data, fDataSize) == fDataSize;
        } catch (...) {
            ok = false;
        }
    }
    std::free(Data);
    return ok;
}

// ------------------------------------------------------------ comparison

bool TWaveStreamAdapter::SameWaveFormat(const tWAVEFORMATEX* pWaveFormat) {
    if (!ReparseHeader() || !pWaveFormat || !fWaveFormat) return false;
    return fWaveFormat->cbSize == pWaveFormat->cbSize &&
           std::memcmp(fWaveFormat, pWaveFormat, WaveFormatSize(fWaveFormat)) == 0;
}

bool TWaveStreamAdapter::SameFormat(TWaveStreamAdapter* WaveStream) {
    return WaveStream && SameWaveFormat(WaveStream->WaveFormat());
}

bool TWaveStreamAdapter::Equals(TWaveStreamAdapter* Wave) {
    if (!Wave || !SameFormat(Wave) || fDataSize != Wave->DataSize()) return false;
    if (fDataSize == 0) return true;
    void* mine;
    if (!AcquireData(mine, false)) return false;
    void* theirs;
    if (!Wave->AcquireData(theirs, false)) {
        ReleaseData(mine, false);
        return false;
    }
    const bool same = std::memcmp(mine, theirs, fDataSize) == 0;
    Wave->ReleaseData(theirs, false);
    ReleaseData(mine, false);
    return same;
}

// ------------------------------------------------------------ whole content

void TWaveStreamAdapter::Assign(const TPersistent* Source) {
    const auto* source = dynamic_cast<const TWaveStreamAdapter*>(Source);
    if (!source) {
        TPersistent::Assign(Source);
        return;
    }
    // Copying a stream onto itself would read what it has just overwritten.
    if (source->fStream == fStream) return;
    source->fStream->Seek(0, TSeekOrigin::soBeginning);
    LoadFromStream(source->fStream);
}

void TWaveStreamAdapter::CloseOpenHandle() {
    if (mmIO) mmioClose(mmIO);
    mmIO = nullptr;
    fState = wssReady;
}

void TWaveStreamAdapter::LoadFromStream(TStream* AStream) {
    NotifyChanging();
    // Loading a stream into itself leaves it as it is; copying would read
    // what it has just overwritten.
    if (AStream != fStream) {
        const int64_t size = AStream->Size();
        fStream->Seek(0, TSeekOrigin::soBeginning);
        if (size > 0) fStream->CopyFrom(*AStream, size);
        fStream->SetSize(size);
    }
    // A read or rewrite still open would work on content that is gone.
    CloseOpenHandle();
    ReparseHeader();
}

void TWaveStreamAdapter::SaveToStream(TStream* AStream) {
    if (AStream == fStream) return;  // already there
    const int64_t size = fStream->Size();
    fStream->Seek(0, TSeekOrigin::soBeginning);
    if (size > 0) AStream->CopyFrom(*fStream, size);
}

void TWaveStreamAdapter::LoadFromFile(const std::string& AFileName) {
    TFileStream file(AFileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(&file);
}

void TWaveStreamAdapter::SaveToFile(const std::string& AFileName) {
    TFileStream file(AFileName, fmCreate | fmShareExclusive);
    SaveToStream(&file);
}

void TWaveStreamAdapter::Clear() {
    NotifyChanging();
    fStream->SetSize(0);
    CloseOpenHandle();
    NotifyChanged();
}

// ------------------------------------------------------------ rewrite

bool TWaveStreamAdapter::BeginRewrite(const tWAVEFORMATEX* pWaveFormat) {
    if (fState != wssReady || !pWaveFormat) return false;
    HMMIO h = BeginStreamWaveFile(fStream, pWaveFormat, ckRIFF, ckData);
    if (!h) {
        // The stream may already have been emptied: parse again next time.
        NotifyChanging();
        return false;
    }
    mmIO = h;
    fState = wssWriting;
    fDataOffset = uint32_t(mmioSeek(h, 0, 1));
    fRewriteBlock = std::max<uint32_t>(pWaveFormat->nBlockAlign, 1);
    NotifyChanging();
    return true;
}

bool TWaveStreamAdapter::BeginRewritePCM(TPCMFormat Format) {
    if (Format == nonePCM || Format > LastPCMFormat) return false;
    tWAVEFORMATEX wf{};
    PCMFormatToWaveFormat(&wf, Format);
    return BeginRewrite(&wf);
}

int32_t TWaveStreamAdapter::Write(const void* Buffer, int32_t Count) {
    if (fState != wssWriting) return -1;
    // The image cannot grow past what its 32-bit RIFF size can state (pad
    // byte included): beyond that the header could not be finished and the
    // whole recording would be unreadable. Such a write is cut short, like
    // one on a full disk.
    constexpr int64_t kMaxEnd = 0xFFFFFFFFLL + 8 - 1;
    const int64_t pos = mmioSeek(mmIO, 0, 1);
    if (pos < 0) return -1;
    if (Count > 0 && pos + Count > kMaxEnd) {
        if (pos >= kMaxEnd) return -1;
        Count = int32_t(kMaxEnd - pos);
    }
    const int32_t written = mmioWrite(mmIO, Buffer, Count);
    if (written == Count) return written;
    // Short (a full disk): a part of a block left behind would shift every
    // later sample by part of a frame. Cut back to the last whole block.
    const int64_t end = pos + std::max(written, 0);
    const int64_t whole = end - (end - int64_t(fDataOffset)) % fRewriteBlock;
    if (whole < end) {
        try {
            fStream->SetSize(whole);
        } catch (...) {
        }
        if (mmioCutAt(mmIO, whole) != 0) return -1;
    }
    if (written < 0) return -1;
    return int32_t(std::max<int64_t>(whole - pos, 0));
}

bool TWaveStreamAdapter::UpdateSizes() {
    if (fState != wssWriting) return false;
    // The data size first: a RIFF size that covers data not yet stated
    // would be the worse half of a failed update.
    return mmioStateSize(mmIO, &ckData) == 0 && mmioStateSize(mmIO, &ckRIFF) == 0;
}

bool TWaveStreamAdapter::EndRewrite() {
    if (fState != wssWriting) return false;
    // Both sizes must be fixed for the image to be valid; a failure here
    // (a full disk, say) is reported rather than taken for success.
    const bool dataSized = mmioAscend(mmIO, &ckData, 0) == 0;
    const bool sized = mmioAscend(mmIO, &ckRIFF, 0) == 0 && dataSized;
    CloseOpenHandle();
    fModified = true;
    ReparseHeader();
    if (fValid) {
        // Cut whatever follows the last data byte (a pad byte, the rest of
        // an older and longer image). The image is complete without this
        // step, so a stream refusing it does not make the rewrite fail.
        try {
            fStream->SetSize(int64_t(fDataOffset) + int64_t(fDataSize));
        } catch (...) {
        }
    }
    return sized;
}

// ------------------------------------------------------------ read

bool TWaveStreamAdapter::BeginRead() {
    if (!ReparseHeader() || fState != wssReady) return false;
    HMMIO h = OpenStreamAsWave(fStream);
    if (!h) return false;
    if (mmioSeek(h, fDataOffset, 0) != int64_t(fDataOffset)) {
        mmioClose(h);
        return false;
    }
    mmIO = h;
    fState = wssReading;
    return true;
}

int32_t TWaveStreamAdapter::Read(void* Buffer, int32_t Count) {
    if (fState != wssReading) return -1;
    return mmioRead(mmIO, Buffer, Count);
}

bool TWaveStreamAdapter::EndRead() {
    if (fState != wssReading) return false;
    CloseOpenHandle();
    return true;
}

}  // namespace orvant
