// RIFF chunk I/O over streams and the WAVE image reader and writer.
//
// A handle is an I/O procedure with its information record. The stream
// procedure remembers its own position and seeks the stream to it before
// every transfer, so any number of handles can work on one stream. All
// offsets are computed in 64 bits and checked against the 32-bit fields of
// the chunk descriptors, so no size or offset stated in a file can make the
// reader wrap around or reach outside the stream.
#include "wave/WaveUtils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace orvant {

struct TMMIOHandle {
    MMIOINFO info;
    uint32_t flags;
    // The furthest byte written through this handle; ascending out of a
    // created chunk counts it even when the position was moved back.
    int64_t writtenEnd;
};

namespace {

constexpr FOURCC kWAVE = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC kFmt = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC kData = mmioFOURCC('d', 'a', 't', 'a');
constexpr int64_t kMaxOffset = 0xFFFFFFFFLL;  // the largest value a descriptor can hold

uint32_t GetLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

int64_t SendMessage(HMMIO h, uint32_t message, intptr_t p1, intptr_t p2) {
    return h->info.pIOProc(&h->info, message, p1, p2);
}

bool SeekTo(HMMIO h, int64_t pos) { return mmioSeek(h, pos, 0) == pos; }

bool ReadExact(HMMIO h, void* buffer, int32_t count) { return mmioRead(h, buffer, count) == count; }

bool WriteExact(HMMIO h, const void* buffer, int32_t count) { return mmioWrite(h, buffer, count) == count; }

}  // namespace

// ------------------------------------------------------------ handles

HMMIO mmioOpen(const MMIOINFO& info, uint32_t flags) noexcept {
    if (!info.pIOProc) return nullptr;
    HMMIO h = new (std::nothrow) TMMIOHandle{info, flags, 0};
    if (!h) return nullptr;
    h->info.lDiskOffset = 0;
    if (SendMessage(h, MMIOM_OPEN, 0, intptr_t(flags)) != 0) {
        delete h;
        return nullptr;
    }
    return h;
}

MMRESULT mmioClose(HMMIO h) noexcept {
    if (!h) return MMIOERR_INVALIDHANDLE;
    SendMessage(h, MMIOM_CLOSE, 0, 0);
    delete h;
    return 0;
}

int32_t mmioRead(HMMIO h, void* buffer, int32_t count) noexcept {
    if (!h || count < 0 || (count > 0 && !buffer)) return -1;
    if (count == 0) return 0;
    const int64_t r = SendMessage(h, MMIOM_READ, reinterpret_cast<intptr_t>(buffer), count);
    return r < 0 || r > count ? -1 : int32_t(r);
}

int32_t mmioWrite(HMMIO h, const void* buffer, int32_t count) noexcept {
    if (!h || count < 0 || (count > 0 && !buffer)) return -1;
    if (count == 0) return 0;
    const int64_t r = SendMessage(h, MMIOM_WRITE, reinterpret_cast<intptr_t>(buffer), count);
    if (r < 0 || r > count) return -1;
    h->writtenEnd = std::max(h->writtenEnd, h->info.lDiskOffset);
    return int32_t(r);
}

int64_t mmioSeek(HMMIO h, int64_t offset, int origin) noexcept {
    if (!h || origin < 0 || origin > 2) return -1;
    return SendMessage(h, MMIOM_SEEK, intptr_t(offset), origin);
}

// ------------------------------------------------------------ chunks

MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags) noexcept {
    if (!h || !ck) return MMIOERR_INVALIDHANDLE;
    int64_t pos = mmioSeek(h, 0, 1);
    if (pos < 0) return MMIOERR_CANNOTSEEK;
    const int64_t end = parent ? int64_t(parent->dwDataOffset) + int64_t(parent->cksize) : INT64_MAX;
    const FOURCC wantedId = ck->ckid;
    const FOURCC wantedType = ck->fccType;
    for (;;) {
        // The chunk's head must lie inside the parent and its data offset
        // must fit a descriptor.
        if (pos + 8 > end || pos + 8 > kMaxOffset) return MMIOERR_CHUNKNOTFOUND;
        uint8_t head[12];
        if (!ReadExact(h, head, 8)) return MMIOERR_CHUNKNOTFOUND;
        MMCKINFO found{};
        found.ckid = GetLE32(head);
        found.cksize = GetLE32(head + 4);
        found.dwDataOffset = uint32_t(pos + 8);
        const bool isList = found.ckid == FOURCC_RIFF || found.ckid == FOURCC_LIST;
        if (isList) {
            if (!ReadExact(h, head + 8, 4)) return MMIOERR_CHUNKNOTFOUND;
            found.fccType = GetLE32(head + 8);
        }
        bool match;
        if (flags & MMIO_FINDCHUNK)
            match = found.ckid == wantedId;
        else if (flags & MMIO_FINDRIFF)
            match = found.ckid == FOURCC_RIFF && found.fccType == wantedType;
        else if (flags & MMIO_FINDLIST)
            match = found.ckid == FOURCC_LIST && found.fccType == wantedType;
        else
            match = true;
        if (match) {
            *ck = found;
            return SeekTo(h, pos + 8 + (isList ? 4 : 0)) ? 0 : MMIOERR_CANNOTSEEK;
        }
        // Skip the chunk and its pad byte. Every step moves on by at least
        // eight bytes, so the search ends.
        pos = pos + 8 + int64_t(found.cksize) + (found.cksize & 1);
        if (pos + 8 > end || pos + 8 > kMaxOffset) return MMIOERR_CHUNKNOTFOUND;
        if (!SeekTo(h, pos)) return MMIOERR_CHUNKNOTFOUND;
    }
}

MMRESULT mmioCreateChunk(HMMIO h, MMCKINFO* ck, uint32_t flags) noexcept {
    if (!h || !ck) return MMIOERR_INVALIDHANDLE;
    const int64_t pos = mmioSeek(h, 0, 1);
    if (pos < 0) return MMIOERR_CANNOTSEEK;
    if (pos + 8 > kMaxOffset) return MMIOERR_CANNOTWRITE;
    const bool isList = (flags & (MMIO_CREATERIFF | MMIO_CREATELIST)) != 0;
    if (flags & MMIO_CREATERIFF) ck->ckid = FOURCC_RIFF;
    if (flags & MMIO_CREATELIST) ck->ckid = FOURCC_LIST;
    uint8_t head[12];
    PutLE32(head, ck->ckid);
    PutLE32(head + 4, ck->cksize);
    PutLE32(head + 8, ck->fccType);
    const int32_t n = isList ? 12 : 8;
    if (!WriteExact(h, head, n)) return MMIOERR_CANNOTWRITE;
    ck->dwDataOffset = uint32_t(pos + 8);
    ck->dwFlags = MMIO_DIRTY;
    return 0;
}

MMRESULT mmioAscend(HMMIO h, MMCKINFO* ck, uint32_t /*flags*/) noexcept {
    if (!h || !ck) return MMIOERR_INVALIDHANDLE;
    MMRESULT result = 0;
    if (ck->dwFlags & MMIO_DIRTY) {
        int64_t cur = mmioSeek(h, 0, 1);
        if (cur < 0) return MMIOERR_CANNOTSEEK;
        cur = std::max(cur, h->writtenEnd);
        const int64_t size = cur - int64_t(ck->dwDataOffset);
        if (size < 0 || size > kMaxOffset) return MMIOERR_CANNOTWRITE;
        // The size field first: should the pad byte find no room (a full
        // disk), the chunk still states the bytes it holds.
        uint8_t field[4];
        PutLE32(field, uint32_t(size));
        if (!SeekTo(h, int64_t(ck->dwDataOffset) - 4) || !WriteExact(h, field, 4)) return MMIOERR_CANNOTWRITE;
        ck->cksize = uint32_t(size);
        ck->dwFlags &= ~MMIO_DIRTY;
        if (size & 1) {
            const uint8_t pad = 0;
            if (!SeekTo(h, cur) || !WriteExact(h, &pad, 1)) result = MMIOERR_CANNOTWRITE;
        }
    }
    const int64_t after = int64_t(ck->dwDataOffset) + int64_t(ck->cksize) + (ck->cksize & 1);
    if (!SeekTo(h, after)) return MMIOERR_CANNOTSEEK;
    return result;
}

MMRESULT mmioStateSize(HMMIO h, const MMCKINFO* ck) noexcept {
    if (!h || !ck) return MMIOERR_INVALIDHANDLE;
    if (!(ck->dwFlags & MMIO_DIRTY)) return 0;
    const int64_t cur = mmioSeek(h, 0, 1);
    if (cur < 0) return MMIOERR_CANNOTSEEK;
    const int64_t size = std::max(cur, h->writtenEnd) - int64_t(ck->dwDataOffset);
    if (size < 0 || size > kMaxOffset) return MMIOERR_CANNOTWRITE;
    uint8_t field[4];
    PutLE32(field, uint32_t(size));
    const bool written = SeekTo(h, int64_t(ck->dwDataOffset) - 4) && WriteExact(h, field, 4);
    if (!SeekTo(h, cur)) return MMIOERR_CANNOTSEEK;
    return written ? 0 : MMIOERR_CANNOTWRITE;
}

MMRESULT mmioCutAt(HMMIO h, int64_t end) noexcept {
    if (!h || end < 0) return MMIOERR_INVALIDHANDLE;
    h->writtenEnd = std::min(h->writtenEnd, end);
    return SeekTo(h, end) ? 0 : MMIOERR_CANNOTSEEK;
}

// ------------------------------------------------------------ stream binding

int64_t StreamIOProc(MMIOINFO* info, uint32_t message, intptr_t lParam1, intptr_t lParam2) noexcept {
    if (!info || !info->pStream) return -1;
    TStream& s = *info->pStream;
    try {
        switch (message) {
            case MMIOM_OPEN:
                if (s.Seek(0, TSeekOrigin::soBeginning) != 0) return -1;
                info->lDiskOffset = 0;
                return 0;
            case MMIOM_CLOSE:
                return 0;
            case MMIOM_READ: {
                if (lParam2 < 0 || lParam2 > INT32_MAX) return -1;
                if (s.Seek(info->lDiskOffset, TSeekOrigin::soBeginning) != info->lDiskOffset) return -1;
                const int32_t r = s.Read(reinterpret_cast<void*>(lParam1), int32_t(lParam2));
                if (r < 0) return -1;
                info->lDiskOffset += r;
                return r;
            }
            case MMIOM_WRITE:
            case MMIOM_WRITEFLUSH: {
                if (lParam2 < 0 || lParam2 > INT32_MAX) return -1;
                if (s.Seek(info->lDiskOffset, TSeekOrigin::soBeginning) != info->lDiskOffset) return -1;
                const int32_t r = s.Write(reinterpret_cast<const void*>(lParam1), int32_t(lParam2));
                if (r < 0) return -1;
                info->lDiskOffset += r;
                return r;
            }
            case MMIOM_SEEK: {
                const int64_t offset = lParam1;
                int64_t r;
                switch (lParam2) {
                    case 0: r = s.Seek(offset, TSeekOrigin::soBeginning); break;
                    case 1:
                        // Relative to our own position, not the stream's.
                        if (s.Seek(info->lDiskOffset, TSeekOrigin::soBeginning) != info->lDiskOffset) return -1;
                        r = s.Seek(offset, TSeekOrigin::soCurrent);
                        break;
                    case 2: r = s.Seek(offset, TSeekOrigin::soEnd); break;
                    default: return -1;
                }
                if (r < 0) return -1;
                info->lDiskOffset = r;
                return r;
            }
            default:
                return 0;
        }
    } catch (...) {
        return -1;
    }
}

HMMIO OpenStreamAsWave(TStream* Stream) noexcept {
    if (!Stream) return nullptr;
    MMIOINFO info{};
    info.pIOProc = StreamIOProc;
    info.pStream = Stream;
    return mmioOpen(info, MMIO_WRITE);
}

// ------------------------------------------------------------ WAVE reader

namespace {

// Reads the format chunk the handle has descended into. The record gets at
// least 18 + cbSize bytes, zero-filled beyond what the chunk held, so that
// whoever compares or copies 18 + cbSize bytes stays inside it; a chunk that
// is longer than any record can be is read only as far as a record reaches.
PWaveFormatEx ReadFormatChunk(HMMIO h, const MMCKINFO& ck, int64_t streamEnd) {
    if (ck.cksize < 14) return nullptr;
    if (int64_t(ck.dwDataOffset) + int64_t(ck.cksize) > streamEnd) return nullptr;  // cut inside the chunk
    constexpr uint32_t kMaxRecord = sizeof(tWAVEFORMATEX) + 0xFFFF;
    const uint32_t readLen = std::min(ck.cksize, kMaxRecord);
    size_t allocated = std::max<size_t>(readLen, sizeof(tWAVEFORMATEX));
    auto* bytes = static_cast<uint8_t*>(std::calloc(1, allocated));
    if (!bytes) return nullptr;
    if (!ReadExact(h, bytes, int32_t(readLen))) {
        std::free(bytes);
        return nullptr;
    }
    auto* wf = reinterpret_cast<PWaveFormatEx>(bytes);
    const size_t needed = WaveFormatSize(wf);
    if (needed > allocated) {
        auto* grown = static_cast<uint8_t*>(std::realloc(bytes, needed));
        if (!grown) {
            std::free(bytes);
            return nullptr;
        }
        std::memset(grown + allocated, 0, needed - allocated);
        wf = reinterpret_cast<PWaveFormatEx>(grown);
    }
    return wf;
}

}  // namespace

bool ParseWaveHeader(HMMIO mmIO, PWaveFormatEx& pWaveFormat, uint32_t& DataSize, uint32_t& DataOffset) noexcept {
    pWaveFormat = nullptr;
    if (!mmIO) return false;
    const int64_t saved = mmioSeek(mmIO, 0, 1);
    if (saved < 0) return false;
    struct Restore {
        HMMIO h;
        int64_t pos;
        ~Restore() { mmioSeek(h, pos, 0); }
    } restore{mmIO, saved};

    const int64_t streamEnd = mmioSeek(mmIO, 0, 2);
    if (streamEnd < 0 || !SeekTo(mmIO, 0)) return false;
    MMCKINFO ckRIFF{};
    ckRIFF.fccType = kWAVE;
    if (mmioDescend(mmIO, &ckRIFF, nullptr, MMIO_FINDRIFF) != 0) return false;

    MMCKINFO ck{};
    ck.ckid = kFmt;
    if (mmioDescend(mmIO, &ck, &ckRIFF, MMIO_FINDCHUNK) != 0) return false;
    PWaveFormatEx wf = ReadFormatChunk(mmIO, ck, streamEnd);
    if (!wf) return false;
    // Go on after the format chunk (and its pad byte).
    MMCKINFO ckFmt = ck;
    ck = {};
    ck.ckid = kData;
    if (mmioAscend(mmIO, &ckFmt, 0) != 0 || mmioDescend(mmIO, &ck, &ckRIFF, MMIO_FINDCHUNK) != 0) {
        FreeWaveFormat(wf);
        return false;
    }
    pWaveFormat = wf;
    DataSize = ck.cksize;
    DataOffset = ck.dwDataOffset;
    return true;
}

bool ParseStreamWaveHeader(TStream* Stream, PWaveFormatEx& pWaveFormat, uint32_t& DataSize,
                           uint32_t& DataOffset) noexcept {
    pWaveFormat = nullptr;
    if (!Stream) return false;
    try {
        if (Stream->Size() <= 0) return false;
    } catch (...) {
        return false;
    }
    HMMIO h = OpenStreamAsWave(Stream);
    if (!h) return false;
    const bool ok = ParseWaveHeader(h, pWaveFormat, DataSize, DataOffset);
    mmioClose(h);
    return ok;
}

// ------------------------------------------------------------ WAVE writer

bool BeginWaveFile(HMMIO mmIO, const tWAVEFORMATEX* pWaveFormat, MMCKINFO& ckRIFF, MMCKINFO& ckData) noexcept {
    if (!mmIO || !pWaveFormat) return false;
    if (!SeekTo(mmIO, 0)) return false;
    ckRIFF = {};
    ckRIFF.fccType = kWAVE;
    if (mmioCreateChunk(mmIO, &ckRIFF, MMIO_CREATERIFF) != 0) return false;
    MMCKINFO ck{};
    ck.ckid = kFmt;
    if (mmioCreateChunk(mmIO, &ck, 0) != 0) return false;
    if (!WriteExact(mmIO, pWaveFormat, int32_t(WaveFormatSize(pWaveFormat)))) return false;
    if (mmioAscend(mmIO, &ck, 0) != 0) return false;
    ckData = {};
    ckData.ckid = kData;
    return mmioCreateChunk(mmIO, &ckData, 0) == 0;
}

HMMIO BeginStreamWaveFile(TStream* Stream, const tWAVEFORMATEX* pWaveFormat, MMCKINFO& ckRIFF,
                          MMCKINFO& ckData) noexcept {
    HMMIO h = OpenStreamAsWave(Stream);
    if (!h) return nullptr;
    bool ok;
    try {
        Stream->SetSize(0);
        ok = BeginWaveFile(h, pWaveFormat, ckRIFF, ckData);
    } catch (...) {
        ok = false;
    }
    if (!ok) {
        mmioClose(h);
        return nullptr;
    }
    return h;
}

}  // namespace orvant
