// Sample kernels of the editing operations: reversal, volume scaling and
// averaging of several blocks, on 8- and 16-bit PCM only. They run over whole
// recordings, so they are written for speed: plain loops over fixed-size
// chunks, which the compiler turns into vector code at -O2 (its cheapest
// vectoriser only takes loops whose trip count needs no scalar remainder),
// word-wise reversal, and lookup tables where a per-sample division would
// dominate. Samples are moved through memcpy, so a block at an odd address
// is handled without misaligned accesses.
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "wave/WaveUtils.h"

namespace orvant {

static_assert(std::endian::native == std::endian::little, "samples are read as little-endian words");

namespace {

// Bits per sample when the record describes 8- or 16-bit PCM, else 0.
int EditableBits(const tWAVEFORMATEX* pWaveFormat) noexcept {
    if (!pWaveFormat || pWaveFormat->wFormatTag != WAVE_FORMAT_PCM) return 0;
    const int bits = pWaveFormat->wBitsPerSample;
    return bits == 8 || bits == 16 ? bits : 0;
}

inline uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline void Store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

// The four 16-bit lanes of a little-endian word in reverse order.
inline uint64_t ReverseLanes16(uint64_t v) {
    v = v >> 32 | v << 32;
    return (v >> 16 & 0x0000FFFF0000FFFFull) | (v & 0x0000FFFF0000FFFFull) << 16;
}

// Reverses Count units of Width bytes (1 or 2). Words of eight bytes are
// taken from both ends at once and reversed in registers; the middle that
// remains is done unit by unit.
template <int Width>
void ReverseUnits(uint8_t* p, size_t count) {
    size_t lo = 0, hi = count * Width;  // byte offsets: [lo, hi) is still unreversed
    while (hi - lo >= 16) {
        const uint64_t a = Load64(p + lo);
        const uint64_t b = Load64(p + hi - 8);
        if constexpr (Width == 1) {
            Store64(p + lo, __builtin_bswap64(b));
            Store64(p + hi - 8, __builtin_bswap64(a));
        } else {
            Store64(p + lo, ReverseLanes16(b));
            Store64(p + hi - 8, ReverseLanes16(a));
        }
        lo += 8;
        hi -= 8;
    }
    while (hi - lo >= 2 * Width) {
        uint8_t a[Width], b[Width];
        std::memcpy(a, p + lo, Width);
        std::memcpy(b, p + hi - Width, Width);
        std::memcpy(p + lo, b, Width);
        std::memcpy(p + hi - Width, a, Width);
        lo += Width;
        hi -= Width;
    }
}

constexpr size_t kChunk = 32;  // samples per vectorised step

inline int32_t Clip(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : v > hi ? hi : v; }
inline int64_t Clip64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

// d' = d + d * Percent / 100, truncating, for every sample. |d| <= 32768,
// so the product fits 32 bits up to |Percent| 65535; larger factors (rare)
// take 64-bit scalar code so that they clip like any other.
void ScaleDirect8(uint8_t* p, size_t n, int32_t percent) {
    if (percent < -65535 || percent > 65535) {
        for (size_t i = 0; i < n; ++i) {
            const int64_t d = int64_t(p[i]) - 128;
            p[i] = uint8_t(Clip64(128 + d + d * percent / 100, 0, 255));
        }
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        const int32_t d = int32_t(p[i]) - 128;
        p[i] = uint8_t(Clip(128 + d + d * percent / 100, 0, 255));
    }
}

// Walks a byte cursor rather than an index so that no index product can
// overflow (n counts samples, the cursor moves two bytes per sample).
void ScaleDirect16(uint8_t* p, size_t n, int32_t percent) {
    uint8_t* const end = p + n * sizeof(int16_t);
    if (percent < -65535 || percent > 65535) {
        for (; p != end; p += sizeof(int16_t)) {
            int16_t v;
            std::memcpy(&v, p, 2);
            const int64_t d = v;
            v = int16_t(Clip64(d + d * percent / 100, -32767, 32767));
            std::memcpy(p, &v, 2);
        }
        return;
    }
    int16_t s[kChunk];
    for (; size_t(end - p) >= sizeof s; p += sizeof s) {
        std::memcpy(s, p, sizeof s);
        for (size_t j = 0; j < kChunk; ++j) {
            const int32_t d = s[j];
            s[j] = int16_t(Clip(d + d * percent / 100, -32767, 32767));
        }
        std::memcpy(p, s, sizeof s);
    }
    for (; p != end; p += sizeof(int16_t)) {
        int16_t v;
        std::memcpy(&v, p, 2);
        const int32_t d = v;
        v = int16_t(Clip(d + d * percent / 100, -32767, 32767));
        std::memcpy(p, &v, 2);
    }
}

// Large blocks go through a table of every possible result, built with the
// direct code above (so both ways give the same values): a lookup per sample
// is several times faster than the per-sample division, and the table (128
// KiB) stays in the cache. Blocks below these sizes do not repay building it.
constexpr size_t kTable16MinSamples = size_t(1) << 17;
constexpr size_t kTable8PairMinBytes = size_t(1) << 18;

void Scale8(uint8_t* p, size_t n, int32_t percent) {
    uint8_t table[256];
    for (int i = 0; i < 256; ++i) table[i] = uint8_t(i);
    ScaleDirect8(table, 256, percent);
    size_t i = 0;
    if (n >= kTable8PairMinBytes) {
        // Two bytes per lookup.
        std::unique_ptr<uint16_t[]> pairs(new (std::nothrow) uint16_t[65536]);
        if (pairs) {
            for (size_t v = 0; v < 65536; ++v) {
                const uint8_t b[2] = {table[v & 0xFF], table[v >> 8]};
                std::memcpy(&pairs[v], b, 2);
            }
            for (; n - i >= 2; i += 2) {
                uint16_t v;
                std::memcpy(&v, p + i, 2);
                std::memcpy(p + i, &pairs[v], 2);
            }
        }
    }
    for (; i < n; ++i) p[i] = table[p[i]];
}

void Scale16(uint8_t* p, size_t n, int32_t percent) {
    if (n >= kTable16MinSamples) {
        std::unique_ptr<uint16_t[]> table(new (std::nothrow) uint16_t[65536]);
        if (table) {
            for (size_t v = 0; v < 65536; ++v) table[v] = uint16_t(v);
            ScaleDirect16(reinterpret_cast<uint8_t*>(table.get()), 65536, percent);
            for (uint8_t* const end = p + n * sizeof(uint16_t); p != end; p += sizeof(uint16_t)) {
                uint16_t v;
                std::memcpy(&v, p, 2);
                std::memcpy(p, &table[v], 2);
            }
            return;
        }
    }
    ScaleDirect16(p, n, percent);
}

// The zero level of a sample type: 128 for unsigned bytes, 0 for 16 bits.
template <typename Sample>
constexpr int32_t ZeroLevel = std::is_same_v<Sample, uint8_t> ? 128 : 0;

constexpr size_t kMixChunk = 64;  // output samples per step

// Samples [start, start + len) of one source into s, the zero level for
// those past its end; all kMixChunk entries are set.
template <typename Sample>
inline void LoadChunk(Sample* s, const TMixingSource& source, size_t start, size_t len) {
    const size_t have = source.Size / sizeof(Sample);
    const size_t avail = have > start ? have - start : 0;
    const size_t take = avail < len ? avail : len;
    // An empty source has no block at all (its address may be null).
    const uint8_t* src = take > 0 ? static_cast<const uint8_t*>(source.Data) + start * sizeof(Sample) : nullptr;
    if (take == kMixChunk) {
        std::memcpy(s, src, kMixChunk * sizeof(Sample));
        return;
    }
    if (take > 0) std::memcpy(s, src, take * sizeof(Sample));
    for (size_t j = take; j < kMixChunk; ++j) s[j] = Sample(ZeroLevel<Sample>);
}

template <typename Sample>
inline void StoreChunk(uint8_t* out, const Sample* o, size_t start, size_t len) {
    if (len == kMixChunk)
        std::memcpy(out + start * sizeof(Sample), o, kMixChunk * sizeof(Sample));
    else
        std::memcpy(out + start * sizeof(Sample), o, len * sizeof(Sample));
}

// (a + b) / 2 truncated toward zero, without leaving the sample's width:
// the floor of the half sum from the halves, plus one where a negative sum
// is odd. Byte samples are unsigned, so there the floor is already right.
inline int16_t HalfSum(int16_t a, int16_t b) {
    const int16_t floor = int16_t((a >> 1) + (b >> 1) + (a & b & 1));
    return int16_t(floor + ((a ^ b) & 1 & (floor >> 15)));
}
inline uint8_t HalfSum(uint8_t a, uint8_t b) { return uint8_t((a & b) + ((a ^ b) >> 1)); }

// Two sources, the common mix: no wider sums and no division at all.
template <typename Sample>
void AverageTwo(const TMixingSource* table, uint8_t* out, size_t samples) {
    Sample a[kMixChunk], b[kMixChunk], o[kMixChunk];
    for (size_t start = 0; start < samples; start += kMixChunk) {
        const size_t len = samples - start < kMixChunk ? samples - start : kMixChunk;
        LoadChunk(a, table[0], start, len);
        LoadChunk(b, table[1], start, len);
        for (size_t j = 0; j < kMixChunk; ++j) o[j] = HalfSum(a[j], b[j]);
        StoreChunk(out, o, start, len);
    }
}

// Up to 511 sources. The sums are exact in single precision (below 2^24 in
// magnitude) and so is the truncated quotient: the division's error stays
// below 2^-9, while a quotient that is not whole lies at least 1/count away
// from the next whole number. Single-precision division keeps the loop in
// vector code, where integer division has no vector instruction.
template <typename Sample>
void Average(const TMixingSource* table, int count, uint8_t* out, size_t samples) {
    if (count == 2) {
        AverageTwo<Sample>(table, out, samples);
        return;
    }
    const float divisor = float(count);
    int32_t acc[kMixChunk];
    Sample s[kMixChunk], o[kMixChunk];
    for (size_t start = 0; start < samples; start += kMixChunk) {
        const size_t len = samples - start < kMixChunk ? samples - start : kMixChunk;
        LoadChunk(s, table[0], start, len);
        for (size_t j = 0; j < kMixChunk; ++j) acc[j] = s[j];
        for (int k = 1; k < count; ++k) {
            LoadChunk(s, table[k], start, len);
            for (size_t j = 0; j < kMixChunk; ++j) acc[j] += s[j];
        }
        for (size_t j = 0; j < kMixChunk; ++j) o[j] = Sample(int32_t(float(acc[j]) / divisor));
        StoreChunk(out, o, start, len);
    }
}

// More sources: 64-bit sums and integer division, sample by sample.
template <typename Sample>
void AverageWide(const TMixingSource* table, int count, uint8_t* out, size_t samples) {
    for (size_t i = 0; i < samples; ++i) {
        int64_t sum = 0;
        for (int k = 0; k < count; ++k) {
            if (i < table[k].Size / sizeof(Sample)) {
                Sample v;
                std::memcpy(&v, static_cast<const uint8_t*>(table[k].Data) + i * sizeof(Sample), sizeof v);
                sum += v;
            } else {
                sum += ZeroLevel<Sample>;
            }
        }
        const Sample o = Sample(sum / count);
        std::memcpy(out + i * sizeof(Sample), &o, sizeof o);
    }
}

}  // namespace

bool ReverseSampleOrder(void* Data, uint32_t Size, const tWAVEFORMATEX* pWaveFormat) noexcept {
    const int bits = EditableBits(pWaveFormat);
    if (bits == 0 || (!Data && Size > 0)) return false;
    // A stray odd byte after the last 16-bit sample stays where it is.
    if (bits == 8)
        ReverseUnits<1>(static_cast<uint8_t*>(Data), Size);
    else
        ReverseUnits<2>(static_cast<uint8_t*>(Data), Size / 2);
    return true;
}

bool ScaleSampleValues(void* Data, uint32_t Size, const tWAVEFORMATEX* pWaveFormat, int32_t Percent) noexcept {
    const int bits = EditableBits(pWaveFormat);
    if (bits == 0 || (!Data && Size > 0)) return false;
    auto* p = static_cast<uint8_t*>(Data);
    if (bits == 8)
        Scale8(p, Size, Percent);
    else
        Scale16(p, Size / 2, Percent);  // whole samples; a stray odd byte stays as it is
    return true;
}

bool AverageSampleBuffers(const TMixingSource* Table, int Count, const tWAVEFORMATEX* pWaveFormat,
                          uint32_t OutputSize, void* Output) noexcept {
    const int bits = EditableBits(pWaveFormat);
    if (bits == 0 || Count <= 0 || !Table || (!Output && OutputSize > 0)) return false;
    for (int k = 0; k < Count; ++k)
        if (!Table[k].Data && Table[k].Size > 0) return false;
    auto* out = static_cast<uint8_t*>(Output);
    const bool narrow = Count < 512;
    if (bits == 8) {
        if (narrow)
            Average<uint8_t>(Table, Count, out, OutputSize);
        else
            AverageWide<uint8_t>(Table, Count, out, OutputSize);
    } else {
        const size_t samples = OutputSize / 2;
        if (narrow)
            Average<int16_t>(Table, Count, out, samples);
        else
            AverageWide<int16_t>(Table, Count, out, samples);
        // The stray byte of an odd-sized 16-bit output is set to zero, so
        // that no byte of the output is left unwritten.
        if (OutputSize % 2) out[OutputSize - 1] = 0;
    }
    return true;
}

}  // namespace orvant
