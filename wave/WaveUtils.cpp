// Wave format descriptors: the standard PCM formats, time/byte conversions,
// descriptions, peak level and silence. The RIFF layer is in WaveUtilsRiff.cpp.
#include "wave/WaveUtils.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace orvant {

namespace {

constexpr TPCMFormatInfo kPCMFormats[] = {
    {0, 0, 0},                                                  // nonePCM
    {1, 8000, 8},  {2, 8000, 8},  {1, 8000, 16},  {2, 8000, 16},  //
    {1, 11025, 8}, {2, 11025, 8}, {1, 11025, 16}, {2, 11025, 16},  //
    {1, 22050, 8}, {2, 22050, 8}, {1, 22050, 16}, {2, 22050, 16},  //
    {1, 44100, 8}, {2, 44100, 8}, {1, 44100, 16}, {2, 44100, 16},  //
    {1, 48000, 8}, {2, 48000, 8}, {1, 48000, 16}, {2, 48000, 16},
};
static_assert(std::size(kPCMFormats) == LastPCMFormat + 1);

constexpr uint32_t kOverflow = 0xFFFFFFFFu;

// a * b / c rounded to nearest, halves up, for unsigned 32-bit arguments.
// For arguments up to 2147483647 this is exactly MulDiv with its -1 read as
// unsigned: results above 2147483647 and a zero divisor give 4294967295.
// Larger arguments (data sizes of files beyond 2 GiB) are computed exactly
// instead of being misread as negative numbers.
uint32_t ScaleRounded(uint32_t a, uint32_t b, uint32_t c) {
    if (c == 0) return kOverflow;
    const uint64_t p = uint64_t(a) * uint64_t(b);
    const uint64_t q = p / c;
    const uint64_t r = p % c;
    const uint64_t rounded = q + (r * 2 >= c ? 1 : 0);
    return rounded > uint64_t(INT32_MAX) ? kOverflow : uint32_t(rounded);
}

bool IsPCM(const tWAVEFORMATEX* wf, uint16_t bits) {
    return wf && wf->wFormatTag == WAVE_FORMAT_PCM && wf->wBitsPerSample == bits;
}

// Largest byte of the block. The inner loop has a fixed trip count and a
// register accumulator, which the compiler turns into vector maxima at -O2
// (whose cost model refuses loops that would need a scalar epilogue); the
// horizontal reduction runs once per block.
uint8_t MaxByte(const uint8_t* p, size_t n) {
    constexpr size_t kBlock = 512;
    uint8_t m = 0;
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        uint8_t bm = m;
        for (size_t k = 0; k < kBlock; ++k) bm = std::max(bm, p[i + k]);
        m = bm;
    }
    for (; i < n; ++i) m = std::max(m, p[i]);
    return m;
}

// Largest signed 16-bit little-endian sample, starting from 0, in the same
// way. Samples are loaded with memcpy, so a block at an odd address is fine.
int16_t MaxSample16(const uint8_t* p, size_t samples) {
    constexpr size_t kBlock = 256;
    int16_t m = 0;
    size_t i = 0;
    for (; i + kBlock <= samples; i += kBlock) {
        int16_t bm = m;
        for (size_t k = 0; k < kBlock; ++k) {
            int16_t v;
            std::memcpy(&v, p + 2 * (i + k), 2);
            bm = std::max(bm, v);
        }
        m = bm;
    }
    for (; i < samples; ++i) {
        int16_t v;
        std::memcpy(&v, p + 2 * i, 2);
        m = std::max(m, v);
    }
    return m;
}

}  // namespace

TPCMFormatInfo PCMFormatInfo(TPCMFormat format) noexcept {
    return format <= LastPCMFormat ? kPCMFormats[format] : kPCMFormats[nonePCM];
}

PWaveFormatEx AllocWaveFormat(uint16_t cbSize) noexcept {
    return static_cast<PWaveFormatEx>(std::calloc(1, sizeof(tWAVEFORMATEX) + cbSize));
}

PWaveFormatEx CopyWaveFormat(const tWAVEFORMATEX* pWaveFormat) noexcept {
    if (!pWaveFormat) return nullptr;
    PWaveFormatEx copy = AllocWaveFormat(pWaveFormat->cbSize);
    if (copy) std::memcpy(copy, pWaveFormat, WaveFormatSize(pWaveFormat));
    return copy;
}

void FreeWaveFormat(PWaveFormatEx pWaveFormat) noexcept { std::free(pWaveFormat); }

void PCMFormatToWaveFormat(PWaveFormatEx pWaveFormat, TPCMFormat PCMFormat) noexcept {
    if (!pWaveFormat || PCMFormat == nonePCM || PCMFormat > LastPCMFormat) return;
    const TPCMFormatInfo& f = kPCMFormats[PCMFormat];
    pWaveFormat->wFormatTag = WAVE_FORMAT_PCM;
    pWaveFormat->nChannels = f.Channels;
    pWaveFormat->nSamplesPerSec = f.SamplesPerSec;
    pWaveFormat->wBitsPerSample = f.BitsPerSample;
    pWaveFormat->nBlockAlign = uint16_t(MulDiv(f.Channels, f.BitsPerSample, 8));
    pWaveFormat->nAvgBytesPerSec = pWaveFormat->nBlockAlign * f.SamplesPerSec;
    pWaveFormat->cbSize = 0;
}

TPCMFormat WaveFormatToPCMFormat(const tWAVEFORMATEX* pWaveFormat) noexcept {
    if (!pWaveFormat || pWaveFormat->wFormatTag != WAVE_FORMAT_PCM) return nonePCM;
    for (int i = FirstPCMFormat; i <= LastPCMFormat; ++i) {
        const TPCMFormatInfo& f = kPCMFormats[i];
        if (f.Channels == pWaveFormat->nChannels && f.SamplesPerSec == pWaveFormat->nSamplesPerSec &&
            f.BitsPerSample == pWaveFormat->wBitsPerSample)
            return TPCMFormat(i);
    }
    return nonePCM;
}

uint32_t BufferBytesForMs(const tWAVEFORMATEX* pWaveFormat, uint32_t Ms) noexcept {
    uint32_t n = ScaleRounded(Ms, pWaveFormat->nAvgBytesPerSec, 1000);
    if (n == kOverflow) return n;
    const uint32_t align = pWaveFormat->nBlockAlign;
    // n is at most 2147483647 here, so rounding up cannot wrap.
    if (align > 1 && n % align != 0) n += align - n % align;
    return n;
}

uint32_t BlockBytesForMs(const tWAVEFORMATEX* pWaveFormat, uint32_t Ms) noexcept {
    uint32_t n = ScaleRounded(pWaveFormat->nAvgBytesPerSec, Ms, 1000);
    if (n == kOverflow) return n;
    const uint32_t align = pWaveFormat->nBlockAlign;
    if (align > 1) n = n / align * align;
    return n;
}

uint32_t MsForBytes(const tWAVEFORMATEX* pWaveFormat, uint32_t Bytes) noexcept {
    if (pWaveFormat->nAvgBytesPerSec == 0) return 0;
    return ScaleRounded(1000, Bytes, pWaveFormat->nAvgBytesPerSec);
}

uint32_t NominalBitRate(const tWAVEFORMATEX* pWaveFormat) noexcept {
    return ScaleRounded(pWaveFormat->nSamplesPerSec,
                        uint32_t(pWaveFormat->nChannels) * uint32_t(pWaveFormat->wBitsPerSample), 1000);
}

std::string FormatTagText(uint16_t FormatTag) {
    switch (FormatTag) {
        case 1: return "PCM";
        case 2: return "Microsoft ADPCM";
        case 3: return "PCM IEEE";
        case 4: return "VSELP";
        case 5: return "CSVD";
        case 6: return "A-Law";
        case 7: return "u-Law";
        case 8: return "DTS";
        case 17: return "IMA ADPCM";
        case 49: return "GSM 6.10";
        case 67: return "Microsoft G.723.1";
        case 80: return "MPEG";
        case 85: return "MPEG Layer-3";
        default: return {};
    }
}

std::string DescribeWaveFormat(const tWAVEFORMATEX* pWaveFormat) {
    // The rate in kHz with three decimals: exact in integers, and free of the
    // process locale (the window toolkit switches it to the user's).
    char text[96];
    const unsigned rate = pWaveFormat->nSamplesPerSec;
    int n = std::snprintf(text, sizeof text, "%u.%03u kHz", rate / 1000, rate % 1000);
    const unsigned channels = pWaveFormat->nChannels;
    const bool named = channels == 1 || channels == 2;
    if (pWaveFormat->wBitsPerSample != 0)
        n += std::snprintf(text + n, sizeof text - size_t(n), ", %d Bit", int(pWaveFormat->wBitsPerSample));
    if (named)
        std::snprintf(text + n, sizeof text - size_t(n), ", %s", ChannelNameTable[channels]);
    else
        std::snprintf(text + n, sizeof text - size_t(n), ", %d Ch", int(channels));
    const std::string tag = FormatTagText(pWaveFormat->wFormatTag);
    return tag.empty() ? std::string(text) : tag + ": " + text;
}

int PeakPercent(const void* Data, uint32_t Size, const tWAVEFORMATEX* pWaveFormat) noexcept {
    const auto* p = static_cast<const uint8_t*>(Data);
    if (IsPCM(pWaveFormat, 8)) {
        const int m = Size ? MaxByte(p, Size) : 0;
        const int d = m >= 128 ? m - 128 : 0;
        return d * 100 / 127;
    }
    if (IsPCM(pWaveFormat, 16)) {
        const int m = Size >= 2 ? MaxSample16(p, Size / 2) : 0;
        return m * 100 / 32767;
    }
    return -1;
}

int SilenceValue(const tWAVEFORMATEX* pWaveFormat) noexcept {
    if (IsPCM(pWaveFormat, 8)) return 128;
    if (IsPCM(pWaveFormat, 16)) return 0;
    return -1;
}

bool FillWithSilence(void* Data, uint32_t Size, const tWAVEFORMATEX* pWaveFormat) noexcept {
    const int value = SilenceValue(pWaveFormat);
    if (value < 0) return false;
    if (Size) std::memset(Data, value, Size);
    return true;
}

}  // namespace orvant
