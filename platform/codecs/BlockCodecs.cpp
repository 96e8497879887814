// Block codecs to and from 16-bit PCM of the same rate and channels:
// A-law and mu-law (decoded by table, encoded by libsndfile, raw), IMA and
// Microsoft ADPCM (Adpcm.cpp), GSM 6.10 in its 65-byte WAVE framing (libgsm).
#include <gsm.h>
#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/codecs/Converters.h"

namespace orvant::codecs {

const int16_t kMsAdpcmCoef[7][2] = {{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}};

namespace {

uint32_t ImaSamplesPerBlock(uint32_t blockAlign, uint32_t channels) {
    return (blockAlign - 4 * channels) * 2 / channels + 1;
}
uint32_t MsSamplesPerBlock(uint32_t blockAlign, uint32_t channels) {
    return (blockAlign - 7 * channels) * 2 / channels + 2;
}

// Standard block size per channel by sample rate.
uint32_t StandardBlockPerChannel(uint32_t rate) {
    if (rate <= 11025) return 256;
    if (rate <= 22050) return 512;
    return 1024;
}

void PutWord(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

bool ValidG711(const tWAVEFORMATEX& wf) {
    return (wf.wFormatTag == WAVE_FORMAT_ALAW || wf.wFormatTag == WAVE_FORMAT_MULAW) && wf.wBitsPerSample == 8 &&
           wf.nBlockAlign == wf.nChannels;
}

bool ValidImaAdpcm(const TFormat& f) {
    const tWAVEFORMATEX& h = f.Head();
    if (h.wFormatTag != WAVE_FORMAT_IMA_ADPCM || h.wBitsPerSample != 4 || h.cbSize < 2) return false;
    if (h.nBlockAlign <= 4 * h.nChannels || h.nBlockAlign % (4 * h.nChannels) != 0) return false;
    return f.ExtraWord(0) == ImaSamplesPerBlock(h.nBlockAlign, h.nChannels);
}

bool ValidMsAdpcm(const TFormat& f) {
    const tWAVEFORMATEX& h = f.Head();
    if (h.wFormatTag != WAVE_FORMAT_ADPCM || h.wBitsPerSample != 4 || h.cbSize < 32) return false;
    if (h.nChannels > 2 || h.nBlockAlign <= 7 * h.nChannels) return false;
    if (f.ExtraWord(0) != MsSamplesPerBlock(h.nBlockAlign, h.nChannels)) return false;
    const uint16_t numCoef = f.ExtraWord(1);
    // Exactly the seven standard pairs: the decoder knows no others.
    if (numCoef != 7 || h.cbSize < 4 + 4 * numCoef) return false;
    for (size_t i = 0; i < 7; ++i)
        if (static_cast<int16_t>(f.ExtraWord(2 + 2 * i)) != kMsAdpcmCoef[i][0] ||
            static_cast<int16_t>(f.ExtraWord(3 + 2 * i)) != kMsAdpcmCoef[i][1])
            return false;
    return true;
}

bool ValidGsm(const TFormat& f) {
    const tWAVEFORMATEX& h = f.Head();
    return h.wFormatTag == WAVE_FORMAT_GSM610 && h.nChannels == 1 && h.nSamplesPerSec == 8000 && h.nBlockAlign == 65 &&
           h.cbSize >= 2 && f.ExtraWord(0) == 320;
}

int StandardCompressedFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint8_t* buf, uint32_t capacity) {
    uint8_t r[sizeof(tWAVEFORMATEX) + 32] = {};
    auto* h = reinterpret_cast<tWAVEFORMATEX*>(r);
    h->wFormatTag = tag;
    h->nChannels = channels;
    h->nSamplesPerSec = rate;
    if (channels < 1 || rate < 1000 || rate > 768000) return 0;
    uint32_t spb = 0;
    switch (tag) {
        case WAVE_FORMAT_ALAW:
        case WAVE_FORMAT_MULAW:
            if (channels > 8) return 0;
            h->wBitsPerSample = 8;
            h->nBlockAlign = channels;
            h->nAvgBytesPerSec = rate * channels;
            break;
        case WAVE_FORMAT_IMA_ADPCM:
            if (channels > 8) return 0;
            h->wBitsPerSample = 4;
            h->nBlockAlign = static_cast<uint16_t>(StandardBlockPerChannel(rate) * channels);
            spb = ImaSamplesPerBlock(h->nBlockAlign, channels);
            h->cbSize = 2;
            PutWord(r + 18, static_cast<uint16_t>(spb));
            break;
        case WAVE_FORMAT_ADPCM:
            if (channels > 2) return 0;
            h->wBitsPerSample = 4;
            h->nBlockAlign = static_cast<uint16_t>(StandardBlockPerChannel(rate) * channels);
            spb = MsSamplesPerBlock(h->nBlockAlign, channels);
            h->cbSize = 32;
            PutWord(r + 18, static_cast<uint16_t>(spb));
            PutWord(r + 20, 7);
            for (int i = 0; i < 7; ++i) {
                PutWord(r + 22 + 4 * i, static_cast<uint16_t>(kMsAdpcmCoef[i][0]));
                PutWord(r + 24 + 4 * i, static_cast<uint16_t>(kMsAdpcmCoef[i][1]));
            }
            break;
        case WAVE_FORMAT_GSM610:
            if (channels != 1 || rate != 8000) return 0;
            h->wBitsPerSample = 0;
            h->nBlockAlign = 65;
            spb = 320;
            h->cbSize = 2;
            PutWord(r + 18, 320);
            break;
        default:
            return 0;
    }
    if (spb) h->nAvgBytesPerSec = static_cast<uint32_t>((uint64_t(rate) * h->nBlockAlign + spb / 2) / spb);
    const uint32_t size = sizeof(tWAVEFORMATEX) + h->cbSize;
    if (size > capacity) return -1;
    std::memcpy(buf, r, size);
    return static_cast<int>(size);
}

// ---------------------------------------------------------------------------
// Unit-by-unit conversion: srcUnit source bytes always give dstUnit target
// bytes. A partial unit is kept between calls; at the end it is converted
// by ConvertPartial.

TBlockConverter::TBlockConverter(uint32_t srcUnit, uint32_t dstUnit) : fSrcUnit(srcUnit), fDstUnit(dstUnit) {}

void TBlockConverter::Reset() {
    fPending.clear();
    ResetState();
}

uint32_t TBlockConverter::DstBytesFor(uint32_t srcBytes) const {
    const uint64_t units = (uint64_t(srcBytes) + fPending.size() + fSrcUnit - 1) / fSrcUnit;
    const uint64_t n = units * fDstUnit;
    return n >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

uint32_t TBlockConverter::SrcBytesFor(uint32_t dstBytes) const {
    const uint64_t n = uint64_t(dstBytes / fDstUnit) * fSrcUnit;
    return n >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

TConverter::TResult TBlockConverter::Convert(const uint8_t* src, uint32_t srcLen, uint8_t* dst, uint32_t dstLen,
                                             bool blockAlign, bool end) {
    TResult r;
    if (!fPending.empty() && srcLen > 0) {
        const uint32_t take = std::min<uint32_t>(srcLen, fSrcUnit - static_cast<uint32_t>(fPending.size()));
        fPending.insert(fPending.end(), src, src + take);
        r.srcUsed = take;
    }
    if (fPending.size() == fSrcUnit) {
        if (dstLen < fDstUnit) {
            fPending.resize(fPending.size() - r.srcUsed);  // no room: give the bytes back
            r.srcUsed = 0;
            return r;
        }
        if (!ConvertUnits(fPending.data(), 1, dst)) {
            r.ok = false;
            return r;
        }
        r.dstUsed = fDstUnit;
        fPending.clear();
    }
    if (fPending.empty()) {
        const uint32_t byRoom = (dstLen - r.dstUsed) / fDstUnit;
        const uint32_t bySrc = (srcLen - r.srcUsed) / fSrcUnit;
        const uint32_t units = std::min(byRoom, bySrc);
        if (units && !ConvertUnits(src + r.srcUsed, units, dst + r.dstUsed)) {
            r.ok = false;
            return r;
        }
        r.srcUsed += units * fSrcUnit;
        r.dstUsed += units * fDstUnit;
        if (units == bySrc && r.srcUsed < srcLen && !blockAlign) {
            fPending.assign(src + r.srcUsed, src + srcLen);
            r.srcUsed = srcLen;
        }
    }
    if (end && r.srcUsed == srcLen && !fPending.empty()) {
        if (dstLen - r.dstUsed < fDstUnit) return r;  // no room for the tail yet
        uint32_t n = 0;
        if (!ConvertPartial(fPending.data(), static_cast<uint32_t>(fPending.size()), dst + r.dstUsed, n)) {
            r.ok = false;
            return r;
        }
        r.dstUsed += n;
        fPending.clear();
    }
    return r;
}

bool TBlockConverter::ConvertPartial(const uint8_t* src, uint32_t len, uint8_t* dst, uint32_t& produced) {
    // Completed with silence: zero bytes are silence in 16-bit PCM.
    std::vector<uint8_t> unit(fSrcUnit, 0);
    std::memcpy(unit.data(), src, len);
    produced = fDstUnit;
    return ConvertUnits(unit.data(), 1, dst);
}

// ---------------------------------------------------------------------------
// libsndfile over memory: a read-only file made of segments, or a write-only
// file into a caller's block.

namespace {

struct TMemoryFile {
    const uint8_t* segs[2] = {};
    sf_count_t segLen[2] = {};
    sf_count_t pos = 0;
    uint8_t* out = nullptr;  // writing
    sf_count_t outCap = 0;
    sf_count_t outEnd = 0;
    bool overflow = false;

    sf_count_t Length() const { return out ? outEnd : segLen[0] + segLen[1]; }
};

sf_count_t VioLength(void* u) { return static_cast<TMemoryFile*>(u)->Length(); }
sf_count_t VioSeek(sf_count_t offset, int whence, void* u) {
    auto* f = static_cast<TMemoryFile*>(u);
    sf_count_t p = offset;
    if (whence == SEEK_CUR) p += f->pos;
    if (whence == SEEK_END) p += f->Length();
    if (p < 0) return -1;
    f->pos = p;
    return p;
}
sf_count_t VioRead(void* ptr, sf_count_t count, void* u) {
    auto* f = static_cast<TMemoryFile*>(u);
    sf_count_t done = 0;
    auto* out = static_cast<uint8_t*>(ptr);
    sf_count_t base = 0;
    for (int i = 0; i < 2 && done < count; ++i) {
        const sf_count_t at = f->pos - base;
        if (at >= 0 && at < f->segLen[i]) {
            const sf_count_t n = std::min(count - done, f->segLen[i] - at);
            std::memcpy(out + done, f->segs[i] + at, static_cast<size_t>(n));
            done += n;
            f->pos += n;
        }
        base += f->segLen[i];
    }
    return done;
}
sf_count_t VioWrite(const void* ptr, sf_count_t count, void* u) {
    auto* f = static_cast<TMemoryFile*>(u);
    if (!f->out) return 0;
    if (f->pos + count > f->outCap) {
        f->overflow = true;
        return 0;
    }
    std::memcpy(f->out + f->pos, ptr, static_cast<size_t>(count));
    f->pos += count;
    f->outEnd = std::max(f->outEnd, f->pos);
    return count;
}
sf_count_t VioTell(void* u) { return static_cast<TMemoryFile*>(u)->pos; }

SF_VIRTUAL_IO gVio = {VioLength, VioSeek, VioRead, VioWrite, VioTell};

struct TSndFile {
    SNDFILE* sf = nullptr;
    ~TSndFile() {
        if (sf) sf_close(sf);
    }
};

bool WriteShorts(SNDFILE* sf, uint32_t channels, uint64_t frames, const uint8_t* src) {
    int16_t buf[4096];
    const uint64_t chunk = sizeof(buf) / sizeof(buf[0]) / channels;
    while (frames > 0) {
        const uint64_t n = std::min(frames, chunk);
        std::memcpy(buf, src, n * channels * 2);
        if (sf_writef_short(sf, buf, static_cast<sf_count_t>(n)) != static_cast<sf_count_t>(n)) return false;
        src += n * channels * 2;
        frames -= n;
    }
    return true;
}

int G711Subformat(uint16_t tag) { return tag == WAVE_FORMAT_ALAW ? SF_FORMAT_ALAW : SF_FORMAT_ULAW; }

// The 16-bit value of a mu-law or A-law byte (ITU-T G.711).
int16_t G711ToLinear(uint16_t tag, uint8_t byte) {
    if (tag == WAVE_FORMAT_MULAW) {
        const int u = ~byte & 0xFF;
        const int t = (((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
        return static_cast<int16_t>((u & 0x80) ? 0x84 - t : t - 0x84);
    }
    const int a = byte ^ 0x55;
    int t = (a & 0x0F) << 4;
    const int seg = (a & 0x70) >> 4;
    t = seg == 0 ? t + 8 : (t + 0x108) << (seg - 1);
    return static_cast<int16_t>((a & 0x80) ? t : -t);
}

// One byte per sample, through a table made at construction.
class TG711Decoder final : public TBlockConverter {
public:
    explicit TG711Decoder(const tWAVEFORMATEX& wf)
        : TBlockConverter(wf.nChannels, 2u * wf.nChannels) {
        for (int b = 0; b < 256; ++b) fTable[b] = G711ToLinear(wf.wFormatTag, static_cast<uint8_t>(b));
    }

protected:
    bool ConvertUnits(const uint8_t* src, uint32_t units, uint8_t* dst) override {
        const size_t samples = size_t(units) * (fSrcUnit);
        for (size_t i = 0; i < samples; ++i) std::memcpy(dst + 2 * i, &fTable[src[i]], 2);
        return true;
    }

private:
    int16_t fTable[256];
};

class TG711Encoder final : public TBlockConverter {
public:
    explicit TG711Encoder(const tWAVEFORMATEX& wf)
        : TBlockConverter(2u * wf.nChannels, wf.nChannels), fInfoFormat(SF_FORMAT_RAW | G711Subformat(wf.wFormatTag)),
          fChannels(wf.nChannels), fRate(wf.nSamplesPerSec) {}

protected:
    bool ConvertUnits(const uint8_t* src, uint32_t units, uint8_t* dst) override {
        TMemoryFile file;
        file.out = dst;
        file.outCap = sf_count_t(units) * fChannels;
        SF_INFO info{};
        info.samplerate = static_cast<int>(fRate);
        info.channels = static_cast<int>(fChannels);
        info.format = fInfoFormat;
        TSndFile f;
        f.sf = sf_open_virtual(&gVio, SFM_WRITE, &info, &file);
        if (!f.sf || !WriteShorts(f.sf, fChannels, units, src)) return false;
        const bool closed = sf_close(f.sf) == 0;
        f.sf = nullptr;
        return closed && !file.overflow && file.outEnd == file.outCap;
    }

private:
    int fInfoFormat;
    uint32_t fChannels, fRate;
};

// ADPCM blocks, decoded in place (Adpcm.cpp).
class TAdpcmDecoder final : public TBlockConverter {
public:
    explicit TAdpcmDecoder(const TFormat& f, uint32_t samplesPerBlock)
        : TBlockConverter(f.Head().nBlockAlign, samplesPerBlock * 2u * f.Head().nChannels), fFormat(f),
          fChannels(f.Head().nChannels), fSamplesPerBlock(samplesPerBlock) {}

protected:
    bool ConvertUnits(const uint8_t* src, uint32_t units, uint8_t* dst) override {
        if (!BlockHeadersValid(src, units)) return false;
        const bool ima = fFormat.Head().wFormatTag == WAVE_FORMAT_IMA_ADPCM;
        for (uint32_t u = 0; u < units; ++u) {
            const uint8_t* block = src + size_t(u) * fSrcUnit;
            uint8_t* out = dst + size_t(u) * fDstUnit;
            if (ima)
                DecodeImaBlock(block, fChannels, fSamplesPerBlock, out);
            else
                DecodeMsAdpcmBlock(block, fChannels, fSamplesPerBlock, out);
        }
        return true;
    }

    bool ConvertPartial(const uint8_t* src, uint32_t len, uint8_t* dst, uint32_t& produced) override {
        // Only the samples the partial block really holds are given out.
        const uint32_t ch = fChannels;
        uint32_t frames = 0;
        if (fFormat.Head().wFormatTag == WAVE_FORMAT_IMA_ADPCM) {
            if (len >= 4 * ch) frames = 1 + (len - 4 * ch) / (4 * ch) * 8;
        } else if (len >= 7 * ch) {
            frames = 2 + (len - 7 * ch) * 2 / ch;
        }
        produced = 0;
        if (frames == 0) return true;
        std::vector<uint8_t> whole(fSamplesPerBlock * 2u * ch);
        uint32_t n = 0;
        if (!TBlockConverter::ConvertPartial(src, len, whole.data(), n)) return false;
        produced = std::min(frames, fSamplesPerBlock) * 2 * ch;
        std::memcpy(dst, whole.data(), produced);
        return true;
    }

private:
    // A damaged block (a step index past the table, a predictor that does
    // not exist) makes the conversion fail rather than reach the decoder.
    bool BlockHeadersValid(const uint8_t* src, uint32_t units) const {
        const uint32_t align = fFormat.Head().nBlockAlign;
        const bool ima = fFormat.Head().wFormatTag == WAVE_FORMAT_IMA_ADPCM;
        for (uint32_t u = 0; u < units; ++u) {
            const uint8_t* block = src + size_t(u) * align;
            for (uint32_t c = 0; c < fChannels; ++c) {
                if (ima ? block[4 * c + 2] > 88 : block[c] >= 7) return false;
            }
        }
        return true;
    }

    TFormat fFormat;
    uint32_t fChannels, fSamplesPerBlock;
};

// GSM 6.10 as stored in WAVE files: 65 bytes hold two 160-sample frames.
class TGsmCodec final : public TBlockConverter {
public:
    explicit TGsmCodec(bool decode) : TBlockConverter(decode ? 65 : 640, decode ? 640 : 65), fDecode(decode) {
        ResetState();
    }
    ~TGsmCodec() override {
        if (fGsm) gsm_destroy(fGsm);
    }

protected:
    void ResetState() override {
        if (fGsm) gsm_destroy(fGsm);
        fGsm = gsm_create();
        if (!fGsm) throw std::bad_alloc();
        int one = 1;
        gsm_option(fGsm, GSM_OPT_WAV49, &one);
    }

    bool ConvertUnits(const uint8_t* src, uint32_t units, uint8_t* dst) override {
        gsm_signal pcm[320];
        gsm_byte frame[65];
        for (uint32_t u = 0; u < units; ++u) {
            if (fDecode) {
                std::memcpy(frame, src + 65 * u, 65);
                if (gsm_decode(fGsm, frame, pcm) < 0 || gsm_decode(fGsm, frame + 33, pcm + 160) < 0) return false;
                std::memcpy(dst + 640 * u, pcm, 640);
            } else {
                std::memcpy(pcm, src + 640 * u, 640);
                gsm_encode(fGsm, pcm, frame);
                gsm_encode(fGsm, pcm + 160, frame + 32);
                std::memcpy(dst + 65 * u, frame, 65);
            }
        }
        return true;
    }

    bool ConvertPartial(const uint8_t* src, uint32_t len, uint8_t* dst, uint32_t& produced) override {
        if (fDecode) {  // a cut frame cannot be decoded
            produced = 0;
            return true;
        }
        return TBlockConverter::ConvertPartial(src, len, dst, produced);
    }

private:
    bool fDecode;
    gsm fGsm = nullptr;
};

}  // namespace

std::unique_ptr<TConverter> MakeG711Decoder(const TFormat& src) { return std::make_unique<TG711Decoder>(src.Head()); }
std::unique_ptr<TConverter> MakeG711Encoder(const TFormat& dst) { return std::make_unique<TG711Encoder>(dst.Head()); }
std::unique_ptr<TConverter> MakeAdpcmDecoder(const TFormat& src) {
    return std::make_unique<TAdpcmDecoder>(src, src.ExtraWord(0));
}
std::unique_ptr<TConverter> MakeGsmDecoder(const TFormat&) { return std::make_unique<TGsmCodec>(true); }
std::unique_ptr<TConverter> MakeGsmEncoder(const TFormat&) { return std::make_unique<TGsmCodec>(false); }

}  // namespace orvant::codecs
