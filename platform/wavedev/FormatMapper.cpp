#include "platform/wavedev/FormatMapper.h"

#include <algorithm>
#include <cstring>

#include "platform/codecs/Acm.h"
#include "platform/wavedev/WaveDevInternal.h"

namespace orvant {

namespace {

constexpr uint16_t kWaveFormatExtensible = 0xFFFE;
// What follows the data kind's tag in the sub-format GUID of an extensible
// record whose samples are a wave-format tag's (PCM 1, float 3).
constexpr uint8_t kSubFormatTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
constexpr size_t kExtensibleSize = sizeof(WAVEFORMATEX) + 22;
constexpr size_t kSubFormatAt = sizeof(WAVEFORMATEX) + 6;

// Source samples converted per write at the most.
constexpr uint32_t kSamplesPerCall = 4096;

const WAVEFORMATEX& Head(const std::vector<uint8_t>& r) { return *reinterpret_cast<const WAVEFORMATEX*>(r.data()); }

bool SameFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b) {
    return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels && a.nSamplesPerSec == b.nSamplesPerSec &&
           a.wBitsPerSample == b.wBitsPerSample;
}

WAVEFORMATEX SampleFormat(uint16_t tag, uint16_t bits, uint16_t channels, uint32_t rate) {
    WAVEFORMATEX f{};
    f.wFormatTag = tag;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

// The formats the mapper tries, nearest first: the source's rate before any
// other (a rate change costs most), its channels (more than two: stereo,
// then mono), and its sample kind, then wider kinds, then narrower ones.
std::vector<WAVEFORMATEX> Candidates(const WAVEFORMATEX& mid) {
    struct TKind {
        uint16_t tag, bits;
    };
    static const TKind kKinds[] = {{WAVE_FORMAT_PCM, 8},
                                   {WAVE_FORMAT_PCM, 16},
                                   {WAVE_FORMAT_PCM, 24},
                                   {WAVE_FORMAT_PCM, 32},
                                   {WAVE_FORMAT_IEEE_FLOAT, 32}};
    constexpr int kKindCount = 5;
    int own = 0;
    for (int k = 0; k < kKindCount; ++k)
        if (kKinds[k].tag == mid.wFormatTag && kKinds[k].bits == mid.wBitsPerSample) own = k;
    std::vector<int> kinds;
    for (int k = own; k < kKindCount; ++k) kinds.push_back(k);
    for (int k = own - 1; k >= 0; --k) kinds.push_back(k);

    std::vector<uint16_t> channels;
    if (mid.nChannels <= 2) channels = {mid.nChannels, static_cast<uint16_t>(3 - mid.nChannels)};
    else channels = {2, 1};

    std::vector<uint32_t> rates{mid.nSamplesPerSec};
    for (uint32_t r : {48000u, 44100u, 96000u, 32000u, 22050u, 16000u, 11025u, 8000u})
        if (r != mid.nSamplesPerSec) rates.push_back(r);

    std::vector<WAVEFORMATEX> out;
    for (uint32_t r : rates)
        for (uint16_t c : channels)
            for (int k : kinds) out.push_back(SampleFormat(kKinds[k].tag, kKinds[k].bits, c, r));
    return out;
}

bool CanConvert(const WAVEFORMATEX& from, const WAVEFORMATEX& to) {
    return acmStreamOpen(nullptr, nullptr, &from, &to, nullptr, 0, 0, ACM_STREAMOPENF_QUERY) == MMSYSERR_NOERROR;
}

// One conversion step: a compression-manager stream with one header over
// fixed blocks, prepared at open.
class TStep {
public:
    TStep() = default;
    TStep(const TStep&) = delete;
    TStep& operator=(const TStep&) = delete;
    ~TStep() {
        if (!fHas) return;
        if (fHdr.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) {
            fHdr.cbSrcLength = fSrcCap;
            fHdr.cbDstLength = fDstCap;
            acmStreamUnprepareHeader(fHas, &fHdr, 0);
        }
        acmStreamClose(fHas, 0);
    }

    bool Active() const { return fHas != nullptr; }

    MMRESULT Open(const WAVEFORMATEX& from, const WAVEFORMATEX& to) {
        return acmStreamOpen(&fHas, nullptr, &from, &to, nullptr, 0, 0, 0);
    }
    // The most target bytes srcBytes give.
    uint32_t DstBytesFor(uint32_t srcBytes) const {
        uint32_t n = 0;
        return acmStreamSize(fHas, srcBytes, &n, ACM_STREAMSIZEF_SOURCE) == MMSYSERR_NOERROR ? n : 0;
    }
    MMRESULT Prepare(uint8_t* src, uint32_t srcCap, uint8_t* dst, uint32_t dstCap) {
        fSrcCap = srcCap;
        fDstCap = dstCap;
        fHdr.cbStruct = sizeof fHdr;
        fHdr.pbSrc = src;
        fHdr.cbSrcLength = srcCap;
        fHdr.pbDst = dst;
        fHdr.cbDstLength = dstCap;
        return acmStreamPrepareHeader(fHas, &fHdr, 0);
    }
    // The next srcLen bytes of the source block (the end of the stream: the
    // converter gives out what it holds); the target bytes in `produced`.
    MMRESULT Convert(uint32_t srcLen, bool end, uint32_t& produced) {
        fHdr.cbSrcLength = srcLen;
        fHdr.cbDstLength = fDstCap;
        uint32_t flags = ACM_STREAMCONVERTF_BLOCKALIGN;
        if (fRestart) flags |= ACM_STREAMCONVERTF_START;
        if (end) flags |= ACM_STREAMCONVERTF_END;
        fRestart = false;
        const MMRESULT r = acmStreamConvert(fHas, &fHdr, flags);
        produced = r == MMSYSERR_NOERROR ? fHdr.cbDstLengthUsed : 0;
        return r;
    }
    // The next conversion starts a new stream.
    void Restart() { fRestart = true; }
    uint32_t DstCapacity() const { return fDstCap; }

private:
    HACMSTREAM fHas = nullptr;
    ACMSTREAMHEADER fHdr{};
    uint32_t fSrcCap = 0, fDstCap = 0;
    bool fRestart = false;
};

// The backend's stream in the device format, fed in source blocks: each
// write converts what it takes into `fOut`, which goes to the device as it
// takes it. Frames converted and not yet in the device count as not played.
class TMappedStream final : public TWaveBackendStream {
public:
    MMRESULT Init(const TOutputMapping& m, std::unique_ptr<TWaveBackendStream> inner) {
        fInner = std::move(inner);
        const WAVEFORMATEX& s = Head(m.source);
        const WAVEFORMATEX& d = m.device;
        fSrcBlock = s.nBlockAlign;
        fDevBlock = d.nBlockAlign;
        fSpb = m.samplesPerBlock;
        fSrcRate = s.nSamplesPerSec;
        fDevRate = d.nSamplesPerSec;
        fResampling = fSrcRate != fDevRate;
        fUnitsPerCall = std::max<uint32_t>(1, kSamplesPerCall / fSpb);
        fIn.resize(size_t(fUnitsPerCall) * fSrcBlock);

        const bool pcmSource = s.wFormatTag == WAVE_FORMAT_PCM || s.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
        WAVEFORMATEX mid = s;
        uint32_t midBytes = static_cast<uint32_t>(fIn.size());
        if (!pcmSource) {
            mid = SampleFormat(WAVE_FORMAT_PCM, 16, s.nChannels, s.nSamplesPerSec);
            if (MMRESULT r = fDecode.Open(s, mid)) return r;
            midBytes = fUnitsPerCall * fSpb * mid.nBlockAlign;
        }
        if (!SameFormat(mid, d)) {
            if (MMRESULT r = fPcm.Open(mid, d)) return r;
        }
        // The resampler's slack, and room for what it gives out at the end.
        const uint32_t outBytes = fPcm.Active() ? fPcm.DstBytesFor(midBytes) + 256 * fDevBlock : midBytes;
        if (outBytes == 0) return WAVERR_BADFORMAT;
        fOut.resize(outBytes / fDevBlock * fDevBlock);
        const uint32_t outCap = static_cast<uint32_t>(fOut.size());
        if (fDecode.Active() && fPcm.Active()) {
            fMid.resize(midBytes);
            if (MMRESULT r = fDecode.Prepare(fIn.data(), static_cast<uint32_t>(fIn.size()), fMid.data(), midBytes))
                return r;
            return fPcm.Prepare(fMid.data(), midBytes, fOut.data(), outCap);
        }
        TStep& only = fDecode.Active() ? fDecode : fPcm;
        return only.Prepare(fIn.data(), static_cast<uint32_t>(fIn.size()), fOut.data(), outCap);
    }

    MMRESULT Start() override { return fInner->Start(); }
    MMRESULT Read(void*, uint32_t, uint32_t& done) override {
        done = 0;
        return MMSYSERR_NOTSUPPORTED;
    }

    MMRESULT Write(const void* data, uint32_t frames, uint32_t& done) override {
        done = 0;
        if (MMRESULT r = Pump()) return r;
        if (fDraining) {
            if (MMRESULT r = Drain()) return r;
            if (MMRESULT r = Pump()) return r;
        }
        // The device is full, or the resampler still gives out its end.
        if (fOutPos < fOutLen || fDraining || frames == 0) return MMSYSERR_NOERROR;
        const uint32_t n = std::min(frames, fUnitsPerCall);
        std::memcpy(fIn.data(), data, size_t(n) * fSrcBlock);
        uint32_t bytes = n * fSrcBlock;
        if (fDecode.Active()) {
            if (MMRESULT r = fDecode.Convert(bytes, false, bytes)) return Damaged(r);
        }
        if (fPcm.Active()) {
            if (MMRESULT r = fPcm.Convert(bytes, false, bytes)) return Damaged(r);
        }
        Produced(bytes);
        fAccepted += n;
        fDrained = false;
        done = n;
        return Pump();
    }

    void Wait(uint32_t timeoutMs) override { fInner->Wait(timeoutMs); }
    void Interrupt() override { fInner->Interrupt(); }

    void Drop() override {
        fInner->Drop();
        fOutPos = fOutLen = 0;
        fAccepted = fProduced = 0;
        fDraining = fDrained = false;
        // The decoders keep nothing across blocks worth restarting; the
        // resampler starts afresh from the rewound frame.
        if (fPcm.Active()) fPcm.Restart();
    }

    uint32_t Delay() override {
        Pump();
        uint64_t inner = fInner->Delay();
        uint64_t pending = fOutLen - fOutPos;
        // The device has played everything while the resampler still holds
        // the last frames (its latency): the data has ended, or the device
        // ran dry, so the resampler gives out what it holds.
        if (fResampling && !fDraining && !fDrained && pending == 0 && inner == 0 && fAccepted > 0) {
            fDraining = true;
            Drain();
            Pump();
            inner = fInner->Delay();
            pending = fOutLen - fOutPos;
        }
        if (pending == 0 && inner == 0 && !fDraining && (!fResampling || fDrained)) {
            // All played: count afresh.
            fAccepted = fProduced = 0;
            fDrained = false;
            return 0;
        }
        const uint64_t notPlayed = pending + inner;
        const uint64_t playedDev = fProduced > notPlayed ? fProduced - notPlayed : 0;
        const uint64_t played = std::min(fAccepted, playedDev * fSrcRate / (uint64_t(fDevRate) * fSpb));
        return static_cast<uint32_t>(std::min<uint64_t>(fAccepted - played, UINT32_MAX));
    }

    bool Pause(bool pause) override { return fInner->Pause(pause); }

    uint32_t PeriodFrames() const override {
        const uint64_t units = uint64_t(fInner->PeriodFrames()) * fSrcRate / (uint64_t(fDevRate) * fSpb);
        return static_cast<uint32_t>(std::clamp<uint64_t>(units, 1, UINT32_MAX));
    }

    MMRESULT PrepareHeader(const WAVEHDR& h) override { return fInner->PrepareHeader(h); }
    MMRESULT SubmitHeader(const WAVEHDR& h) override { return fInner->SubmitHeader(h); }

private:
    void Produced(uint32_t bytes) {
        fOutPos = 0;
        fOutLen = bytes / fDevBlock;
        fProduced += fOutLen;
    }

    // Hands the device what it takes of the converted frames.
    MMRESULT Pump() {
        while (fOutPos < fOutLen) {
            uint32_t done = 0;
            if (MMRESULT r = fInner->Write(fOut.data() + size_t(fOutPos) * fDevBlock, fOutLen - fOutPos, done))
                return r;
            if (done == 0) break;
            fOutPos += done;
        }
        return MMSYSERR_NOERROR;
    }

    // The resampler's end, one block of it (fOut is empty); done when the
    // block is not full.
    MMRESULT Drain() {
        uint32_t bytes = 0;
        if (MMRESULT r = fPcm.Convert(0, true, bytes)) {
            fDraining = false;
            return Damaged(r);
        }
        Produced(bytes);
        if (bytes + fDevBlock > fPcm.DstCapacity()) return MMSYSERR_NOERROR;
        fDraining = false;
        fDrained = true;
        return MMSYSERR_NOERROR;
    }

    static MMRESULT Damaged(MMRESULT r) {
        if (r == MMSYSERR_NOMEM) return r;
        SetWaveErrorDetail(MMSYSERR_ERROR, "the sound data is damaged and cannot be decoded");
        return MMSYSERR_ERROR;
    }

    std::unique_ptr<TWaveBackendStream> fInner;
    TStep fDecode, fPcm;  // either may be unused
    std::vector<uint8_t> fIn, fMid, fOut;
    uint32_t fSrcBlock = 1, fDevBlock = 1, fSpb = 1, fSrcRate = 1, fDevRate = 1, fUnitsPerCall = 1;
    uint32_t fOutPos = 0, fOutLen = 0;  // device frames of fOut handed over, converted
    uint64_t fAccepted = 0;  // source blocks taken since the count began
    uint64_t fProduced = 0;  // device frames converted from them
    bool fResampling = false;
    bool fDraining = false;  // the resampler is giving out its end
    bool fDrained = false;   // ... and has given it all
};

}  // namespace

bool WaveFormatIsSound(const WAVEFORMATEX& f) {
    const bool pcm = f.wFormatTag == WAVE_FORMAT_PCM &&
                     (f.wBitsPerSample == 8 || f.wBitsPerSample == 16 || f.wBitsPerSample == 24 || f.wBitsPerSample == 32);
    const bool flt = f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT && f.wBitsPerSample == 32;
    if (!pcm && !flt) return false;
    if (f.nChannels < 1 || f.nChannels > 8) return false;
    if (f.nSamplesPerSec < 1000 || f.nSamplesPerSec > 384000) return false;
    if (f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8) return false;
    return f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

std::vector<uint8_t> WaveFormatRecord(const WAVEFORMATEX* wf) {
    const auto* p = reinterpret_cast<const uint8_t*>(wf);
    // Plain samples carry no extra bytes: a cbSize there is not read.
    if (wf->wFormatTag == WAVE_FORMAT_PCM || wf->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        std::vector<uint8_t> r(p, p + (wf->wFormatTag == WAVE_FORMAT_PCM ? 16 : sizeof(WAVEFORMATEX)));
        r.resize(sizeof(WAVEFORMATEX), 0);
        reinterpret_cast<WAVEFORMATEX*>(r.data())->cbSize = 0;
        return r;
    }
    return std::vector<uint8_t>(p, p + sizeof(WAVEFORMATEX) + wf->cbSize);
}

bool PlainWaveFormat(const std::vector<uint8_t>& record, std::vector<uint8_t>& plain) {
    const WAVEFORMATEX& h = Head(record);
    if (h.wFormatTag != kWaveFormatExtensible) {
        plain = record;
        return true;
    }
    if (h.cbSize < 22 || record.size() < kExtensibleSize) return false;
    const uint8_t* guid = record.data() + kSubFormatAt;
    const uint32_t kind = guid[0] | guid[1] << 8 | uint32_t(guid[2]) << 16 | uint32_t(guid[3]) << 24;
    if ((kind != WAVE_FORMAT_PCM && kind != WAVE_FORMAT_IEEE_FLOAT) ||
        std::memcmp(guid + 4, kSubFormatTail, sizeof kSubFormatTail) != 0)
        return false;
    plain.assign(record.begin(), record.begin() + sizeof(WAVEFORMATEX));
    auto& p = *reinterpret_cast<WAVEFORMATEX*>(plain.data());
    p.wFormatTag = static_cast<uint16_t>(kind);
    p.cbSize = 0;
    return true;
}

MMRESULT MapOutputFormat(TWaveBackend& backend, UINT id, const std::vector<uint8_t>& record, TOutputMapping& m) {
    m = TOutputMapping{};
    if (!PlainWaveFormat(record, m.source)) return WAVERR_BADFORMAT;
    const WAVEFORMATEX& s = Head(m.source);
    const bool pcm = s.wFormatTag == WAVE_FORMAT_PCM || s.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    if (pcm && !WaveFormatIsSound(s)) return WAVERR_BADFORMAT;
    if (pcm && backend.QueryFormat(TWaveDirection::wdOutput, id, s) == MMSYSERR_NOERROR) {
        m.device = s;
        return MMSYSERR_NOERROR;
    }
    WAVEFORMATEX mid = s;
    if (!pcm) {
        // What the codec decodes to, and the samples of one of its blocks.
        mid = SampleFormat(WAVE_FORMAT_PCM, 16, s.nChannels, s.nSamplesPerSec);
        TStep decode;
        if (!s.nBlockAlign || decode.Open(s, mid) != MMSYSERR_NOERROR) return WAVERR_BADFORMAT;
        m.samplesPerBlock = decode.DstBytesFor(s.nBlockAlign) / mid.nBlockAlign;
        if (m.samplesPerBlock == 0) return WAVERR_BADFORMAT;
    }
    for (const WAVEFORMATEX& c : Candidates(mid)) {
        if (pcm && SameFormat(c, s)) continue;  // asked already
        if (!SameFormat(c, mid) && !CanConvert(mid, c)) continue;
        if (backend.QueryFormat(TWaveDirection::wdOutput, id, c) != MMSYSERR_NOERROR) continue;
        ClearWaveErrorDetail();
        m.device = c;
        m.convert = true;
        return MMSYSERR_NOERROR;
    }
    ClearWaveErrorDetail();
    return WAVERR_BADFORMAT;
}

MMRESULT MakeMappedStream(const TOutputMapping& m, std::unique_ptr<TWaveBackendStream>& stream) {
    auto mapped = std::make_unique<TMappedStream>();
    if (MMRESULT r = mapped->Init(m, std::move(stream))) return r;
    stream = std::move(mapped);
    return MMSYSERR_NOERROR;
}

}  // namespace orvant
