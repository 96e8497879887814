// IMA and Microsoft ADPCM blocks, encoded and decoded with the formats'
// standard tables. libsndfile's encoders choose their own block size from the
// sample rate and cannot write the block layout a target record asks for, and
// its decoder opens a file per call (which allocates): both directions are
// done here, the encoders' reconstruction exactly the decoders'.
#include <algorithm>
#include <cstring>

#include "platform/codecs/Converters.h"

namespace orvant::codecs {

namespace {

const int kImaIndex[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
const int kImaStep[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

inline int16_t Sample(const uint8_t* pcm, size_t index) {
    int16_t v;
    std::memcpy(&v, pcm + 2 * index, 2);
    return v;
}

inline int Clamp16(int v) { return v < -32768 ? -32768 : (v > 32767 ? 32767 : v); }

void Put16(uint8_t* p, int v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(static_cast<unsigned>(v) >> 8);
}

// Block: per channel a 4-byte header (first sample, step index, 0), then
// groups of 4 bytes per channel holding 8 samples each, low nibble first.
class TImaEncoder final : public TBlockConverter {
public:
    explicit TImaEncoder(const TFormat& f)
        : TBlockConverter(f.ExtraWord(0) * 2u * f.Head().nChannels, f.Head().nBlockAlign),
          fChannels(f.Head().nChannels), fSamplesPerBlock(f.ExtraWord(0)), fIndex(fChannels, 0) {}

protected:
    void ResetState() override { std::fill(fIndex.begin(), fIndex.end(), 0); }

    bool ConvertUnits(const uint8_t* src, uint32_t units, uint8_t* dst) override {
        for (uint32_t u = 0; u < units; ++u) Block(src + size_t(u) * fSrcUnit, dst + size_t(u) * fDstUnit);
        return true;
    }

private:
    void Block(const uint8_t* pcm, uint8_t* out) {
        const uint32_t ch = fChannels;
        std::memset(out, 0, fDstUnit);
        for (uint32_t c = 0; c < ch; ++c) {
            int pred = Sample(pcm, c);
            int index = fIndex[c];
            Put16(out + 4 * c, pred);
            out[4 * c + 2] = static_cast<uint8_t>(index);
            for (uint32_t i = 1; i < fSamplesPerBlock; ++i) {
                const int s = Sample(pcm, size_t(i) * ch + c);
                int step = kImaStep[index];
                int diff = s - pred;
                int code = 0;
                if (diff < 0) {
                    code = 8;
                    diff = -diff;
                }
                int vpdiff = step >> 3;
                if (diff >= step) {
                    code |= 4;
                    diff -= step;
                    vpdiff += step;
                }
                step >>= 1;
                if (diff >= step) {
                    code |= 2;
                    diff -= step;
                    vpdiff += step;
                }
                step >>= 1;
                if (diff >= step) {
                    code |= 1;
                    vpdiff += step;
                }
                pred = Clamp16((code & 8) ? pred - vpdiff : pred + vpdiff);
                index = std::clamp(index + kImaIndex[code], 0, 88);
                // Sample i (1-based after the header) sits in group (i-1)/8.
                const uint32_t k = i - 1;
                uint8_t* byte = out + 4 * ch + (k / 8) * 4 * ch + 4 * c + (k % 8) / 2;
                *byte |= static_cast<uint8_t>((k % 2) ? (code << 4) : code);
            }
            fIndex[c] = index;
        }
    }

    uint32_t fChannels, fSamplesPerBlock;
    std::vector<int> fIndex;  // step index carried from block to block
};

const int kMsAdapt[16] = {230, 230, 230, 230, 307, 409, 512, 614, 768, 614, 512, 409, 307, 230, 230, 230};

// Block: predictor index per channel, then initial delta, second and first
// sample per channel (16 bits each), then one nibble per sample, frames
// interleaved, high nibble first.
class TMsAdpcmEncoder final : public TBlockConverter {
public:
    explicit TMsAdpcmEncoder(const TFormat& f)
        : TBlockConverter(f.ExtraWord(0) * 2u * f.Head().nChannels, f.Head().nBlockAlign),
          fChannels(f.Head().nChannels), fSamplesPerBlock(f.ExtraWord(0)) {}

protected:
    bool ConvertUnits(const uint8_t* src, uint32_t units, uint8_t* dst) override {
        for (uint32_t u = 0; u < units; ++u) Block(src + size_t(u) * fSrcUnit, dst + size_t(u) * fDstUnit);
        return true;
    }

private:
    // Encodes one channel with one predictor; returns the squared error and,
    // when codes is given, the nibbles.
    uint64_t Run(const uint8_t* pcm, uint32_t c, int pred, int delta, uint8_t* codes) const {
        const uint32_t ch = fChannels;
        const int c1 = kMsAdpcmCoef[pred][0], c2 = kMsAdpcmCoef[pred][1];
        int s2 = Sample(pcm, c), s1 = Sample(pcm, ch + c);
        uint64_t err = 0;
        for (uint32_t i = 2; i < fSamplesPerBlock; ++i) {
            const int s = Sample(pcm, size_t(i) * ch + c);
            const int p = (s1 * c1 + s2 * c2) >> 8;
            const int e = s - p;
            int code = (e >= 0 ? e + delta / 2 : e - delta / 2) / delta;
            code = std::clamp(code, -8, 7);
            const int v = Clamp16(p + code * delta);
            err += uint64_t(int64_t(v - s) * (v - s));
            if (codes) codes[i - 2] = static_cast<uint8_t>(code & 15);
            delta = (kMsAdapt[code & 15] * delta) >> 8;
            if (delta < 16) delta = 16;
            s2 = s1;
            s1 = v;
        }
        return err;
    }

    int InitialDelta(const uint8_t* pcm, uint32_t c, int pred) const {
        const uint32_t ch = fChannels;
        const int c1 = kMsAdpcmCoef[pred][0], c2 = kMsAdpcmCoef[pred][1];
        int64_t sum = 0;
        uint32_t n = 0;
        for (uint32_t i = 2; i < fSamplesPerBlock && n < 4; ++i, ++n) {
            const int p = (Sample(pcm, (i - 1) * ch + c) * c1 + Sample(pcm, (i - 2) * ch + c) * c2) >> 8;
            const int e = Sample(pcm, size_t(i) * ch + c) - p;
            sum += e < 0 ? -e : e;
        }
        const int64_t d = n ? sum / n / 4 : 16;
        return static_cast<int>(std::clamp<int64_t>(d, 16, 32767));
    }

    void Block(const uint8_t* pcm, uint8_t* out) {
        const uint32_t ch = fChannels;
        std::vector<uint8_t> codes(fSamplesPerBlock);
        std::memset(out, 0, fDstUnit);
        uint8_t* data = out + 7 * ch;
        for (uint32_t c = 0; c < ch; ++c) {
            int best = 0;
            uint64_t bestErr = UINT64_MAX;
            for (int p = 0; p < 7; ++p) {
                const uint64_t e = Run(pcm, c, p, InitialDelta(pcm, c, p), nullptr);
                if (e < bestErr) {
                    bestErr = e;
                    best = p;
                }
            }
            const int delta = InitialDelta(pcm, c, best);
            Run(pcm, c, best, delta, codes.data());
            out[c] = static_cast<uint8_t>(best);
            Put16(out + ch + 2 * c, delta);
            Put16(out + 3 * ch + 2 * c, Sample(pcm, ch + c));  // second sample
            Put16(out + 5 * ch + 2 * c, Sample(pcm, c));       // first sample
            for (uint32_t i = 0; i + 2 < fSamplesPerBlock; ++i) {
                const size_t nib = size_t(i) * ch + c;
                data[nib / 2] |= static_cast<uint8_t>((nib % 2) ? codes[i] : codes[i] << 4);
            }
        }
    }

    uint32_t fChannels, fSamplesPerBlock;
};

}  // namespace

void DecodeImaBlock(const uint8_t* block, uint32_t channels, uint32_t samplesPerBlock, uint8_t* dst) {
    for (uint32_t c = 0; c < channels; ++c) {
        int pred = static_cast<int16_t>(block[4 * c] | block[4 * c + 1] << 8);
        int index = std::min<int>(block[4 * c + 2], 88);
        Put16(dst + 2 * c, pred);
        for (uint32_t i = 1; i < samplesPerBlock; ++i) {
            // Sample i (1-based after the header) sits in group (i-1)/8.
            const uint32_t k = i - 1;
            const uint8_t byte = block[4 * channels + (k / 8) * 4 * channels + 4 * c + (k % 8) / 2];
            const int code = (k % 2) ? byte >> 4 : byte & 15;
            const int step = kImaStep[index];
            int diff = step >> 3;
            if (code & 4) diff += step;
            if (code & 2) diff += step >> 1;
            if (code & 1) diff += step >> 2;
            pred = Clamp16((code & 8) ? pred - diff : pred + diff);
            index = std::clamp(index + kImaIndex[code], 0, 88);
            Put16(dst + 2 * (size_t(i) * channels + c), pred);
        }
    }
}

void DecodeMsAdpcmBlock(const uint8_t* block, uint32_t channels, uint32_t samplesPerBlock, uint8_t* dst) {
    const uint32_t ch = channels;
    auto word = [&](size_t at) { return static_cast<int16_t>(block[at] | block[at + 1] << 8); };
    int c1[2], c2[2], delta[2], s1[2], s2[2];
    for (uint32_t c = 0; c < ch; ++c) {
        const int pred = std::min<int>(block[c], 6);
        c1[c] = kMsAdpcmCoef[pred][0];
        c2[c] = kMsAdpcmCoef[pred][1];
        delta[c] = word(ch + 2 * c);
        s1[c] = word(3 * ch + 2 * c);  // the second sample
        s2[c] = word(5 * ch + 2 * c);  // the first
        Put16(dst + 2 * c, s2[c]);
        Put16(dst + 2 * (ch + c), s1[c]);
    }
    const uint8_t* data = block + 7 * ch;
    for (size_t nib = 0; nib < size_t(samplesPerBlock - 2) * ch; ++nib) {
        const uint32_t c = static_cast<uint32_t>(nib % ch);
        const int code = (nib % 2) ? data[nib / 2] & 15 : data[nib / 2] >> 4;
        const int p = (s1[c] * c1[c] + s2[c] * c2[c]) >> 8;
        const int v = Clamp16(p + (code >= 8 ? code - 16 : code) * delta[c]);
        delta[c] = std::max((kMsAdapt[code] * delta[c]) >> 8, 16);
        s2[c] = s1[c];
        s1[c] = v;
        Put16(dst + 2 * (2 * ch + nib), v);
    }
}

std::unique_ptr<TConverter> MakeImaEncoder(const TFormat& dst) { return std::make_unique<TImaEncoder>(dst); }
std::unique_ptr<TConverter> MakeMsAdpcmEncoder(const TFormat& dst) { return std::make_unique<TMsAdpcmEncoder>(dst); }

}  // namespace orvant::codecs
