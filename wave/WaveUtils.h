// Wave formats and WAVE files.
//
// The first half describes audio formats: the twenty standard PCM formats and
// their mapping to the wave-format record, conversions between milliseconds
// and bytes, the bit rate, a one-line description, the peak level of a block
// of samples and the silence value of a format. All of it is pure: nothing
// keeps state, allocates or raises, and it may be called from any thread.
//
// The second half is the RIFF WAVE layer: a small RIFF chunk reader and writer
// whose handles work on any TStream through an I/O procedure (several handles
// may be open on one stream, each with its own position), and the functions
// that parse and start WAVE images on such handles or streams.
//
// Sample conventions: only format tag 1 (PCM) with 8 or 16 bits is processed
// sample by sample. 8-bit samples are unsigned with the zero level 128, 16-bit
// samples signed little-endian with the zero level 0, channels interleaved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/MMSystem.h"
#include "platform/Streams.h"

namespace orvant {

// ------------------------------------------------------------ PCM formats

// The standard PCM formats, ordered by rate, then 8 before 16 bits, then mono
// before stereo. The names are part of the vocabulary (note the capital "B"
// in the first one only).
enum TPCMFormat : uint8_t {
    nonePCM,
    Mono8Bit8000Hz,
    Stereo8bit8000Hz,
    Mono16bit8000Hz,
    Stereo16bit8000Hz,
    Mono8bit11025Hz,
    Stereo8bit11025Hz,
    Mono16bit11025Hz,
    Stereo16bit11025Hz,
    Mono8bit22050Hz,
    Stereo8bit22050Hz,
    Mono16bit22050Hz,
    Stereo16bit22050Hz,
    Mono8bit44100Hz,
    Stereo8bit44100Hz,
    Mono16bit44100Hz,
    Stereo16bit44100Hz,
    Mono8bit48000Hz,
    Stereo8bit48000Hz,
    Mono16bit48000Hz,
    Stereo16bit48000Hz,
};

constexpr TPCMFormat FirstPCMFormat = Mono8Bit8000Hz;
constexpr TPCMFormat LastPCMFormat = Stereo16bit48000Hz;

// Channels, rate and bits of one standard format (all 0 for nonePCM).
struct TPCMFormatInfo {
    uint16_t Channels;
    uint32_t SamplesPerSec;
    uint16_t BitsPerSample;
};
TPCMFormatInfo PCMFormatInfo(TPCMFormat format) noexcept;

// A set of TPCMFormat: bit i stands for value i.
class TWaveDeviceFormats {
public:
    constexpr TWaveDeviceFormats() = default;
    constexpr TWaveDeviceFormats(std::initializer_list<TPCMFormat> formats) {
        for (TPCMFormat f : formats) Include(f);
    }
    static constexpr TWaveDeviceFormats FromBits(uint32_t bits) {
        TWaveDeviceFormats s;
        s.fBits = bits & kAll;
        return s;
    }
    // Every standard format, nonePCM excluded.
    static constexpr TWaveDeviceFormats All() { return FromBits(kAll & ~1u); }

    constexpr uint32_t Bits() const { return fBits; }
    constexpr bool Contains(TPCMFormat f) const { return f <= LastPCMFormat && (fBits >> f) & 1u; }
    constexpr void Include(TPCMFormat f) {
        if (f <= LastPCMFormat) fBits |= 1u << f;
    }
    constexpr void Exclude(TPCMFormat f) {
        if (f <= LastPCMFormat) fBits &= ~(1u << f);
    }
    constexpr bool IsEmpty() const { return fBits == 0; }
    constexpr int Count() const {
        int n = 0;
        for (uint32_t b = fBits; b; b &= b - 1) ++n;
        return n;
    }

    friend constexpr TWaveDeviceFormats operator+(TWaveDeviceFormats a, TWaveDeviceFormats b) {
        return FromBits(a.fBits | b.fBits);
    }
    friend constexpr TWaveDeviceFormats operator*(TWaveDeviceFormats a, TWaveDeviceFormats b) {
        return FromBits(a.fBits & b.fBits);
    }
    friend constexpr TWaveDeviceFormats operator-(TWaveDeviceFormats a, TWaveDeviceFormats b) {
        return FromBits(a.fBits & ~b.fBits);
    }
    friend constexpr bool operator==(TWaveDeviceFormats a, TWaveDeviceFormats b) = default;

private:
    static constexpr uint32_t kAll = (1u << (LastPCMFormat + 1)) - 1;
    uint32_t fBits = 0;
};

// Channel names by channel count; only the entries 1 ("Mono") and 2
// ("Stereo") exist, entry 0 is a placeholder.
inline constexpr const char* ChannelNameTable[3] = {"", "Mono", "Stereo"};

// ------------------------------------------------------------ records

// Size in bytes of a record: 18 + cbSize.
inline size_t WaveFormatSize(const tWAVEFORMATEX* pWaveFormat) {
    return sizeof(tWAVEFORMATEX) + pWaveFormat->cbSize;
}
// A record of 18 + cbSize zero bytes from std::malloc (nullptr when memory
// runs out); the caller frees it with FreeWaveFormat.
PWaveFormatEx AllocWaveFormat(uint16_t cbSize) noexcept;
// A copy of the first 18 + cbSize bytes of pWaveFormat (nullptr for nullptr).
PWaveFormatEx CopyWaveFormat(const tWAVEFORMATEX* pWaveFormat) noexcept;
// Frees a record made by AllocWaveFormat, CopyWaveFormat or the WAVE parser.
void FreeWaveFormat(PWaveFormatEx pWaveFormat) noexcept;

// Fills the record for one of the standard formats (tag 1, cbSize 0); leaves
// it unchanged for nonePCM.
void PCMFormatToWaveFormat(PWaveFormatEx pWaveFormat, TPCMFormat PCMFormat) noexcept;
// The standard format with the record's channels, rate and bits when the tag
// is PCM; nonePCM otherwise. Block align, byte rate and cbSize are ignored.
TPCMFormat WaveFormatToPCMFormat(const tWAVEFORMATEX* pWaveFormat) noexcept;

// ------------------------------------------------------------ time and bytes
// Every conversion rests on MulDiv; an overflow or a zero divisor gives
// 4294967295 (MulDiv's -1 read as unsigned).

// Bytes for Ms milliseconds, rounded up to whole blocks (device buffers).
uint32_t BufferBytesForMs(const tWAVEFORMATEX* pWaveFormat, uint32_t Ms) noexcept;
// Bytes for Ms milliseconds, rounded down to whole blocks (positions, ranges).
uint32_t BlockBytesForMs(const tWAVEFORMATEX* pWaveFormat, uint32_t Ms) noexcept;
// Milliseconds for Bytes bytes; 0 when the byte rate is 0.
uint32_t MsForBytes(const tWAVEFORMATEX* pWaveFormat, uint32_t Bytes) noexcept;
// Nominal bit rate in kbit/s from the bits per sample (0 for compressed
// formats that state 0 bits).
uint32_t NominalBitRate(const tWAVEFORMATEX* pWaveFormat) noexcept;

// ------------------------------------------------------------ texts

// The name of a format tag ("PCM", "A-Law", ...), empty for unnamed tags.
std::string FormatTagText(uint16_t FormatTag);
// "PCM: 44.100 kHz, 16 Bit, Stereo" and the like. The rate is always printed
// with a full stop and three decimals, whatever the locale.
std::string DescribeWaveFormat(const tWAVEFORMATEX* pWaveFormat);

// ------------------------------------------------------------ samples

// The strongest positive excursion as 0..100 percent of full scale, over all
// channels together; -1 unless the format is 8- or 16-bit PCM. A trailing odd
// byte of 16-bit data is ignored; an empty buffer gives 0.
int PeakPercent(const void* Data, uint32_t Size, const tWAVEFORMATEX* pWaveFormat) noexcept;
// Fills the buffer with the format's silence (128 for 8-bit, 0 for 16-bit
// PCM) and returns true; any other format: untouched, false.
bool FillWithSilence(void* Data, uint32_t Size, const tWAVEFORMATEX* pWaveFormat) noexcept;
// The byte value that fills silence (128 for 8-bit PCM, 0 for 16-bit PCM),
// -1 for every other format. For 16 bits it is also the zero sample value.
int SilenceValue(const tWAVEFORMATEX* pWaveFormat) noexcept;

// ------------------------------------------------------------ editing kernels
// Sample work of the editing operations (wave/WaveUtilsEdit.cpp), on 8- and
// 16-bit PCM only: every other format, or no record, gives false and leaves
// the data alone. 16-bit blocks are processed in whole samples; a stray odd
// byte at the end is left as it is.

// Reverses the order of the samples (bytes for 8 bits, 16-bit samples for
// 16 bits). Sample by sample, not frame by frame: channels change places.
bool ReverseSampleOrder(void* Data, uint32_t Size, const tWAVEFORMATEX* pWaveFormat) noexcept;
// Turns every sample's distance d from the zero level into
// d + d * Percent / 100 (product without overflow, quotient truncated toward
// zero), clipped to 0..255 for 8 bits and -32767..32767 for 16 bits.
bool ScaleSampleValues(void* Data, uint32_t Size, const tWAVEFORMATEX* pWaveFormat, int32_t Percent) noexcept;

// One entry of the mixing table: a source's data block and its size in bytes.
struct TMixingSource {
    const void* Data;
    uint32_t Size;
};
// Fills OutputSize bytes of Output. Each output sample is the sum of the
// next sample of every one of the Count sources (the zero level for a source
// that has ended) divided by Count, truncated toward zero. The stray byte of
// an odd-sized 16-bit output is set to 0.
bool AverageSampleBuffers(const TMixingSource* Table, int Count, const tWAVEFORMATEX* pWaveFormat,
                          uint32_t OutputSize, void* Output) noexcept;

// ------------------------------------------------------------ RIFF chunk I/O

using FOURCC = uint32_t;

constexpr FOURCC mmioFOURCC(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}
constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');

// Chunk descriptor.
struct _MMCKINFO {
    FOURCC ckid;            // chunk identifier
    uint32_t cksize;        // size of the chunk's data
    FOURCC fccType;         // form type of a RIFF or LIST chunk
    uint32_t dwDataOffset;  // absolute stream offset of the first data byte
    uint32_t dwFlags;       // MMIO_DIRTY while a created chunk's size is a placeholder
};
using MMCKINFO = _MMCKINFO;

struct TMMIOHandle;
using HMMIO = TMMIOHandle*;  // nullptr: no handle

struct MMIOINFO;
// The I/O procedure of a handle. For read and write, lParam1 is the buffer
// and lParam2 the count; for seek, lParam1 the offset and lParam2 the origin
// (0 beginning, 1 current, 2 end). Results are bytes, positions, 0 or -1.
using LPMMIOPROC = int64_t (*)(MMIOINFO* info, uint32_t message, intptr_t lParam1, intptr_t lParam2);

// I/O information of a handle.
struct MMIOINFO {
    uint32_t dwFlags;
    LPMMIOPROC pIOProc;
    int64_t lDiskOffset;  // the procedure's own remembered position
    TStream* pStream;     // the stream the procedure works on (the user word)
};

// Messages to an I/O procedure.
enum : uint32_t {
    MMIOM_READ = 0,
    MMIOM_WRITE = 1,
    MMIOM_SEEK = 2,
    MMIOM_OPEN = 3,
    MMIOM_CLOSE = 4,
    MMIOM_WRITEFLUSH = 5,
};

// Open, descend and create flags.
enum : uint32_t {
    MMIO_READ = 0x0000,
    MMIO_WRITE = 0x0001,
    MMIO_READWRITE = 0x0002,
    MMIO_FINDCHUNK = 0x0010,
    MMIO_FINDRIFF = 0x0020,
    MMIO_FINDLIST = 0x0040,
    MMIO_CREATERIFF = 0x0020,
    MMIO_CREATELIST = 0x0040,
    MMIO_DIRTY = 0x10000000,
};

// Results of the chunk operations (0 is success).
constexpr MMRESULT MMIOERR_CANNOTWRITE = 262;
constexpr MMRESULT MMIOERR_CANNOTSEEK = 263;
constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = 265;
constexpr MMRESULT MMIOERR_INVALIDHANDLE = 266;

// Opens a handle with info's I/O procedure (and stream); the procedure gets
// the open message. nullptr when that fails or info has no procedure.
HMMIO mmioOpen(const MMIOINFO& info, uint32_t flags) noexcept;
// Sends the close message and frees the handle.
MMRESULT mmioClose(HMMIO h) noexcept;
// Bytes read or written, or -1.
int32_t mmioRead(HMMIO h, void* buffer, int32_t count) noexcept;
int32_t mmioWrite(HMMIO h, const void* buffer, int32_t count) noexcept;
// New position, or -1.
int64_t mmioSeek(HMMIO h, int64_t offset, int origin) noexcept;
// Finds the next chunk from the current position, inside parent when given
// (MMIO_FINDCHUNK: the chunk with ck->ckid; MMIO_FINDRIFF / MMIO_FINDLIST: a
// RIFF or LIST chunk with form type ck->fccType; no flag: the next chunk).
// On success ck is filled and the handle sits at the chunk's first data byte.
MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags) noexcept;
// Leaves ck: for a chunk made by mmioCreateChunk, writes its size (the bytes
// from its first data byte to the current position) and a zero pad byte when
// that size is odd; then positions the handle after the chunk (and its pad).
MMRESULT mmioAscend(HMMIO h, MMCKINFO* ck, uint32_t flags) noexcept;
// For a chunk made by mmioCreateChunk and not yet left: writes the size it
// has so far (up to the furthest byte written) into its head and returns to
// the current position, so the chunk states its bytes while it still grows.
MMRESULT mmioStateSize(HMMIO h, const MMCKINFO* ck) noexcept;
// Forgets what was written at and after end and moves there; the caller cuts
// the stream itself.
MMRESULT mmioCutAt(HMMIO h, int64_t end) noexcept;
// Writes a chunk head at the current position: id (or "RIFF"/"LIST" with
// MMIO_CREATERIFF/MMIO_CREATELIST, followed by ck->fccType) and a placeholder
// size; ck gets the data offset and MMIO_DIRTY.
MMRESULT mmioCreateChunk(HMMIO h, MMCKINFO* ck, uint32_t flags) noexcept;

// ------------------------------------------------------------ WAVE images

// The I/O procedure over a TStream (info->pStream). It seeks the stream to
// its remembered position before every transfer, so several handles can
// share one stream. Stream failures, also raised ones, give -1.
int64_t StreamIOProc(MMIOINFO* info, uint32_t message, intptr_t lParam1, intptr_t lParam2) noexcept;

// A handle over Stream (positioned at 0), or nullptr. The handle does not own
// the stream.
HMMIO OpenStreamAsWave(TStream* Stream) noexcept;

// Reads the header of the WAVE image on the handle: a newly allocated format
// record (free it with FreeWaveFormat), the data chunk's size as stated and
// the offset of its first data byte. The handle's position is restored.
// On failure pWaveFormat is nullptr and nothing stays allocated.
bool ParseWaveHeader(HMMIO mmIO, PWaveFormatEx& pWaveFormat, uint32_t& DataSize, uint32_t& DataOffset) noexcept;
// The same on a stream: false at once for an empty stream.
bool ParseStreamWaveHeader(TStream* Stream, PWaveFormatEx& pWaveFormat, uint32_t& DataSize,
                           uint32_t& DataOffset) noexcept;

// Writes "RIFF", "WAVE", the format chunk and the head of the data chunk from
// position 0; the handle is then at the first data byte. The two descriptors
// are needed to end the image (ascend out of ckData, then ckRIFF).
bool BeginWaveFile(HMMIO mmIO, const tWAVEFORMATEX* pWaveFormat, MMCKINFO& ckRIFF, MMCKINFO& ckData) noexcept;
// Opens a handle over Stream, empties the stream and begins the image; the
// handle, or nullptr (the handle is then closed again).
HMMIO BeginStreamWaveFile(TStream* Stream, const tWAVEFORMATEX* pWaveFormat, MMCKINFO& ckRIFF,
                          MMCKINFO& ckData) noexcept;

// ------------------------------------------------------------ conversion

// Converts SrcSize bytes at SrcData from SrcFormat to DstFormat in one call
// of the audio compression manager. True when the call succeeded. Once a
// conversion was opened, DstData is a std::malloc block sized to the bytes
// produced (free it with std::free) and DstSize that size, or nullptr and 0
// when nothing was produced; when none could be opened both stay untouched.
bool ConvertWholeBuffer(const tWAVEFORMATEX* SrcFormat, const void* SrcData, uint32_t SrcSize,
                        const tWAVEFORMATEX* DstFormat, void*& DstData, uint32_t& DstSize) noexcept;

}  // namespace orvant
