// PCM to PCM: sample depth, channel count (mono <-> stereo, and more than
// two channels down-mixed to stereo or mono) and sample rate.
// Samples pass through floating point in pieces of kChunk frames; a rate
// change goes through libsoxr at high quality.
#include <soxr.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "platform/codecs/Converters.h"

namespace orvant::codecs {

bool IsPcm(const tWAVEFORMATEX& wf) {
    if (wf.nChannels < 1 || wf.nChannels > 8) return false;
    if (wf.wFormatTag == WAVE_FORMAT_PCM) {
        if (wf.wBitsPerSample != 8 && wf.wBitsPerSample != 16 && wf.wBitsPerSample != 24 && wf.wBitsPerSample != 32)
            return false;
    } else if (wf.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        if (wf.wBitsPerSample != 32) return false;
    } else {
        return false;
    }
    return wf.nBlockAlign == wf.nChannels * (wf.wBitsPerSample / 8);
}

bool IsPcm16(const tWAVEFORMATEX& wf) { return wf.wFormatTag == WAVE_FORMAT_PCM && wf.wBitsPerSample == 16 && IsPcm(wf); }

namespace {

enum class TKind { u8, s16, s24, s32, f32 };

TKind KindOf(const tWAVEFORMATEX& wf) {
    if (wf.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return TKind::f32;
    switch (wf.wBitsPerSample) {
        case 8:
            return TKind::u8;
        case 16:
            return TKind::s16;
        case 24:
            return TKind::s24;
        default:
            return TKind::s32;
    }
}

template <class T>
void Decode(TKind kind, const uint8_t* p, size_t samples, T* out) {
    switch (kind) {
        case TKind::u8:
            for (size_t i = 0; i < samples; ++i) out[i] = (T(p[i]) - T(128)) * T(1.0 / 128);
            break;
        case TKind::s16:
            for (size_t i = 0; i < samples; ++i) {
                int16_t v;
                std::memcpy(&v, p + 2 * i, 2);
                out[i] = T(v) * T(1.0 / 32768);
            }
            break;
        case TKind::s24:
            for (size_t i = 0; i < samples; ++i) {
                const uint8_t* q = p + 3 * i;
                const int32_t v = static_cast<int32_t>((uint32_t(q[0]) << 8) | (uint32_t(q[1]) << 16) |
                                                       (uint32_t(q[2]) << 24)) >>
                                  8;
                out[i] = T(v) * T(1.0 / 8388608);
            }
            break;
        case TKind::s32:
            for (size_t i = 0; i < samples; ++i) {
                int32_t v;
                std::memcpy(&v, p + 4 * i, 4);
                out[i] = T(v) * T(1.0 / 2147483648.0);
            }
            break;
        case TKind::f32:
            for (size_t i = 0; i < samples; ++i) {
                float v;
                std::memcpy(&v, p + 4 * i, 4);
                out[i] = T(v);
            }
            break;
    }
}

// Scales to the integer range, rounds halves away from zero and clips.
template <class T>
inline int64_t Quantize(T x, T scale, int64_t lo, int64_t hi) {
    T v = x * scale;
    if (!(v > T(lo))) return lo;  // also NaN
    if (v > T(hi)) return hi;
    return static_cast<int64_t>(v + (v >= 0 ? T(0.5) : T(-0.5)));
}

template <class T>
void Encode(TKind kind, const T* in, size_t samples, uint8_t* p) {
    switch (kind) {
        case TKind::u8:
            for (size_t i = 0; i < samples; ++i) p[i] = static_cast<uint8_t>(Quantize<T>(in[i], 128, -128, 127) + 128);
            break;
        case TKind::s16:
            for (size_t i = 0; i < samples; ++i) {
                const int16_t v = static_cast<int16_t>(Quantize<T>(in[i], 32768, -32768, 32767));
                std::memcpy(p + 2 * i, &v, 2);
            }
            break;
        case TKind::s24:
            for (size_t i = 0; i < samples; ++i) {
                const int32_t v = static_cast<int32_t>(Quantize<T>(in[i], 8388608, -8388608, 8388607));
                p[3 * i] = static_cast<uint8_t>(v);
                p[3 * i + 1] = static_cast<uint8_t>(v >> 8);
                p[3 * i + 2] = static_cast<uint8_t>(v >> 16);
            }
            break;
        case TKind::s32:
            for (size_t i = 0; i < samples; ++i) {
                const int32_t v = static_cast<int32_t>(Quantize<T>(in[i], T(2147483648.0), INT32_MIN, INT32_MAX));
                std::memcpy(p + 4 * i, &v, 4);
            }
            break;
        case TKind::f32:
            for (size_t i = 0; i < samples; ++i) {
                const float v = static_cast<float>(in[i]);
                std::memcpy(p + 4 * i, &v, 4);
            }
            break;
    }
}

// The weights that fold `from` channels (3..8, in the standard speaker order
// of multichannel WAVE files) into left and right: the front channels as
// they are, the centre and the surrounds at -3 dB on their side (ITU-R
// BS.775), the low-frequency channel dropped; each side scaled so that full
// scale on every channel cannot clip. mix[2 * c] is channel c's weight on the
// left, mix[2 * c + 1] on the right.
void DownMixWeights(unsigned from, double* mix) {
    enum { FL, FR, FC, LFE, BL, BR, BC, SL, SR };
    static const int kLayouts[9][8] = {
        {}, {}, {},
        {FL, FR, FC},
        {FL, FR, BL, BR},
        {FL, FR, FC, BL, BR},
        {FL, FR, FC, LFE, BL, BR},
        {FL, FR, FC, LFE, BC, SL, SR},
        {FL, FR, FC, LFE, BL, BR, SL, SR},
    };
    constexpr double kHalfPower = 0.70710678118654752;
    double sumL = 0, sumR = 0;
    for (unsigned c = 0; c < from; ++c) {
        double l = 0, r = 0;
        switch (kLayouts[from][c]) {
            case FL: l = 1; break;
            case FR: r = 1; break;
            case FC: l = r = kHalfPower; break;
            case BL: case SL: l = kHalfPower; break;
            case BR: case SR: r = kHalfPower; break;
            case BC: l = r = 0.5; break;
            default: break;  // LFE
        }
        mix[2 * c] = l;
        mix[2 * c + 1] = r;
        sumL += l;
        sumR += r;
    }
    const double scale = 1.0 / std::max(sumL, sumR);
    for (unsigned i = 0; i < 2 * from; ++i) mix[i] *= scale;
}

// Channel counts equal: copy; 2 -> 1: average; 1 -> 2: duplicate; more than
// two: the down-mix weights `mix`, then averaged for 1.
template <class T>
void MapChannels(const T* in, size_t frames, unsigned from, unsigned to, const T* mix, T* out) {
    if (from == to) {
        std::memcpy(out, in, frames * from * sizeof(T));
    } else if (from > 2) {
        for (size_t i = 0; i < frames; ++i) {
            const T* f = in + i * from;
            T l = 0, r = 0;
            for (unsigned c = 0; c < from; ++c) {
                l += f[c] * mix[2 * c];
                r += f[c] * mix[2 * c + 1];
            }
            if (to == 2) {
                out[2 * i] = l;
                out[2 * i + 1] = r;
            } else {
                out[i] = (l + r) * T(0.5);
            }
        }
    } else if (from == 2 && to == 1) {
        for (size_t i = 0; i < frames; ++i) out[i] = (in[2 * i] + in[2 * i + 1]) * T(0.5);
    } else {
        for (size_t i = 0; i < frames; ++i) out[2 * i] = out[2 * i + 1] = in[i];
    }
}

template <class T>
class TPcmConverter final : public TConverter {
public:
    TPcmConverter(const tWAVEFORMATEX& s, const tWAVEFORMATEX& d)
        : fSrcKind(KindOf(s)), fDstKind(KindOf(d)), fSrcCh(s.nChannels), fDstCh(d.nChannels),
          fMidCh(std::min(s.nChannels, d.nChannels)), fSrcRate(s.nSamplesPerSec), fDstRate(d.nSamplesPerSec),
          fSrcFrame(s.nBlockAlign), fDstFrame(d.nBlockAlign) {
        fIn.resize(kChunk * fSrcCh);
        fMid.resize(kChunk * fMidCh);
        fOut.resize(kChunk * fMidCh);
        fWide.resize(kChunk * fDstCh);
        if (fSrcCh > 2) {
            double mix[16];
            DownMixWeights(fSrcCh, mix);
            fMix.assign(mix, mix + 2 * fSrcCh);
        }
        if (fSrcRate != fDstRate) {
            soxr_error_t err = nullptr;
            const soxr_io_spec_t io = soxr_io_spec(std::is_same_v<T, float> ? SOXR_FLOAT32_I : SOXR_FLOAT64_I,
                                                   std::is_same_v<T, float> ? SOXR_FLOAT32_I : SOXR_FLOAT64_I);
            const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
            fSoxr = soxr_create(fSrcRate, fDstRate, fMidCh, &err, &io, &q, nullptr);
            if (err || !fSoxr) throw std::bad_alloc();
        }
    }
    ~TPcmConverter() override {
        if (fSoxr) soxr_delete(fSoxr);
    }

    void Reset() override {
        fPending.clear();
        fFlushing = fFlushed = false;
        if (fSoxr) soxr_clear(fSoxr);
    }

    uint32_t DstBytesFor(uint32_t srcBytes) const override {
        const uint64_t frames = (uint64_t(srcBytes) + fPending.size()) / fSrcFrame;
        uint64_t out = frames;
        if (fSoxr) out = (frames * fDstRate + fSrcRate - 1) / fSrcRate + kResampleSlack;
        const uint64_t bytes = out * fDstFrame;
        return bytes >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
    }

    uint32_t SrcBytesFor(uint32_t dstBytes) const override {
        const uint64_t frames = dstBytes / fDstFrame;
        uint64_t in = frames;
        if (fSoxr) in = frames * fSrcRate / fDstRate;
        const uint64_t bytes = in * fSrcFrame;
        return bytes >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
    }

    TResult Convert(const uint8_t* src, uint32_t srcLen, uint8_t* dst, uint32_t dstLen, bool blockAlign,
                    bool end) override {
        TResult r;
        // A resampler being flushed takes no more input: what it still holds
        // comes out first, then data after the end starts a new stream.
        if (fFlushing) {
            if (!fFlushed) Flush(dst, dstLen, r.dstUsed);
            if (!fFlushed) return r;
            Reset();
        }
        // A frame split over two calls is completed first.
        if (!fPending.empty() && srcLen > 0) {
            const uint32_t take = std::min<uint32_t>(srcLen, fSrcFrame - static_cast<uint32_t>(fPending.size()));
            fPending.insert(fPending.end(), src, src + take);
            r.srcUsed += take;
            if (fPending.size() == fSrcFrame) {
                const size_t used = Frames(fPending.data(), 1, dst, dstLen, r.dstUsed);
                if (used == 0) {  // no room: give the bytes back
                    fPending.resize(fPending.size() - take);
                    r.srcUsed -= take;
                    return r;
                }
                fPending.clear();
            }
        }
        if (fPending.empty()) {
            const size_t whole = (srcLen - r.srcUsed) / fSrcFrame;
            const size_t used = Frames(src + r.srcUsed, whole, dst, dstLen, r.dstUsed);
            r.srcUsed += static_cast<uint32_t>(used * fSrcFrame);
            const uint32_t rest = srcLen - r.srcUsed;
            if (used == whole && rest > 0 && !blockAlign && !end) {
                fPending.assign(src + r.srcUsed, src + srcLen);
                r.srcUsed = srcLen;
            } else if (used == whole && end && !blockAlign) {
                r.srcUsed = srcLen;  // a trailing partial frame carries no sample
            }
        }
        if (end && r.srcUsed == srcLen && fSoxr) Flush(dst, dstLen, r.dstUsed);
        if (end && r.srcUsed == srcLen) fPending.clear();
        return r;
    }

private:
    static constexpr size_t kChunk = 4096;
    static constexpr uint64_t kResampleSlack = 64;

    // Converts up to n source frames into dst (at dstUsed); returns how many
    // source frames were consumed (fewer when dst is full).
    size_t Frames(const uint8_t* src, size_t n, uint8_t* dst, uint32_t dstLen, uint32_t& dstUsed) {
        size_t done = 0;
        while (done < n) {
            const size_t roomFrames = (dstLen - dstUsed) / fDstFrame;
            if (roomFrames == 0) break;
            size_t k = std::min(n - done, kChunk);
            if (!fSoxr) k = std::min(k, roomFrames);
            Decode<T>(fSrcKind, src + done * fSrcFrame, k * fSrcCh, fIn.data());
            const T* mid = fIn.data();
            if (fSrcCh != fMidCh) {
                MapChannels<T>(fIn.data(), k, fSrcCh, fMidCh, fMix.data(), fMid.data());
                mid = fMid.data();
            }
            size_t consumed = k;
            size_t produced = k;
            if (fSoxr) {
                size_t idone = 0, odone = 0;
                if (soxr_process(fSoxr, mid, k, &idone, fOut.data(), std::min(kChunk, roomFrames), &odone)) return done;
                consumed = idone;
                produced = odone;
                mid = fOut.data();
            }
            Emit(mid, produced, dst, dstUsed);
            done += consumed;
            if (consumed == 0 && produced == 0) break;
        }
        return done;
    }

    void Flush(uint8_t* dst, uint32_t dstLen, uint32_t& dstUsed) {
        fFlushing = true;
        for (;;) {
            const size_t roomFrames = std::min<size_t>((dstLen - dstUsed) / fDstFrame, kChunk);
            if (roomFrames == 0) return;
            size_t odone = 0;
            if (soxr_process(fSoxr, nullptr, 0, nullptr, fOut.data(), roomFrames, &odone) || odone == 0) {
                fFlushed = true;
                return;
            }
            Emit(fOut.data(), odone, dst, dstUsed);
        }
    }

    void Emit(const T* mid, size_t frames, uint8_t* dst, uint32_t& dstUsed) {
        const T* out = mid;
        if (fMidCh != fDstCh) {
            MapChannels<T>(mid, frames, fMidCh, fDstCh, fMix.data(), fWide.data());
            out = fWide.data();
        }
        Encode<T>(fDstKind, out, frames * fDstCh, dst + dstUsed);
        dstUsed += static_cast<uint32_t>(frames * fDstFrame);
    }

    TKind fSrcKind, fDstKind;
    unsigned fSrcCh, fDstCh, fMidCh;
    uint32_t fSrcRate, fDstRate;
    uint32_t fSrcFrame, fDstFrame;
    soxr_t fSoxr = nullptr;
    bool fFlushing = false;  // the end was reached: the resampler gives out what it holds
    bool fFlushed = false;   // ... and has given out everything
    std::vector<uint8_t> fPending;
    std::vector<T> fIn, fMid, fOut, fWide;
    std::vector<T> fMix;  // down-mix weights of more than two channels
};

}  // namespace

std::unique_ptr<TConverter> MakePcmConverter(const TFormat& src, const TFormat& dst) {
    const tWAVEFORMATEX& s = src.Head();
    const tWAVEFORMATEX& d = dst.Head();
    // 32-bit integers need more precision than single floats carry.
    const bool wide = (s.wFormatTag == WAVE_FORMAT_PCM && s.wBitsPerSample == 32) ||
                      (d.wFormatTag == WAVE_FORMAT_PCM && d.wBitsPerSample == 32);
    if (wide) return std::make_unique<TPcmConverter<double>>(s, d);
    return std::make_unique<TPcmConverter<float>>(s, d);
}

}  // namespace orvant::codecs
