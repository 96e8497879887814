// Conversion streams and format suggestions over the converter table.
#include "platform/codecs/Acm.h"

#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "platform/codecs/Converters.h"

namespace orvant {

struct TAcmStream {
    std::unique_ptr<codecs::TConverter> converter;
    struct TPrepared {
        uint8_t* src;
        uint32_t srcLen;
        uint8_t* dst;
        uint32_t dstLen;
    };
    std::unordered_map<const ACMSTREAMHEADER*, TPrepared> prepared;
};

namespace codecs {

TFormat::TFormat(const tWAVEFORMATEX* wf) {
    // Tag 1 records are 16 bytes in some files; their cbSize is not trusted.
    const size_t size = sizeof(tWAVEFORMATEX) + (wf->wFormatTag == WAVE_FORMAT_PCM ? 0 : wf->cbSize);
    fBytes.assign(reinterpret_cast<const uint8_t*>(wf), reinterpret_cast<const uint8_t*>(wf) + size);
}

uint16_t TFormat::ExtraWord(size_t index) const {
    const size_t at = sizeof(tWAVEFORMATEX) + 2 * index;
    if (at + 2 > fBytes.size()) return 0;
    return static_cast<uint16_t>(fBytes[at] | (fBytes[at + 1] << 8));
}

namespace {

bool BasicValid(const tWAVEFORMATEX& wf) {
    return wf.nChannels >= 1 && wf.nChannels <= 8 && wf.nSamplesPerSec >= 1000 && wf.nSamplesPerSec <= 768000 &&
           wf.nBlockAlign != 0;
}

// Table of converters: which pairs one step serves, and how to build it.
bool IsCompressedTag(uint16_t tag) {
    return tag == WAVE_FORMAT_ALAW || tag == WAVE_FORMAT_MULAW || tag == WAVE_FORMAT_IMA_ADPCM ||
           tag == WAVE_FORMAT_ADPCM || tag == WAVE_FORMAT_GSM610;
}

bool ValidCompressed(const TFormat& f) {
    switch (f.Head().wFormatTag) {
        case WAVE_FORMAT_ALAW:
        case WAVE_FORMAT_MULAW:
            return ValidG711(f.Head());
        case WAVE_FORMAT_IMA_ADPCM:
            return ValidImaAdpcm(f);
        case WAVE_FORMAT_ADPCM:
            return ValidMsAdpcm(f);
        case WAVE_FORMAT_GSM610:
            return ValidGsm(f);
        default:
            return false;
    }
}

// The PCM side a codec decodes to / encodes from.
bool CodecPcmMatches(const tWAVEFORMATEX& codec, const tWAVEFORMATEX& pcm) {
    if (!IsPcm16(pcm)) return false;
    return pcm.nChannels == codec.nChannels && pcm.nSamplesPerSec == codec.nSamplesPerSec;
}

std::unique_ptr<TConverter> FindConverter(const TFormat& src, const TFormat& dst) {
    const tWAVEFORMATEX& s = src.Head();
    const tWAVEFORMATEX& d = dst.Head();
    if (!BasicValid(s) || !BasicValid(d)) return nullptr;
    if (IsPcm(s) && IsPcm(d)) {
        // Equal counts, mono and stereo either way, or a down-mix to them.
        const bool channelsOk = s.nChannels == d.nChannels || d.nChannels <= 2;
        return channelsOk ? MakePcmConverter(src, dst) : nullptr;
    }
    if (IsCompressedTag(s.wFormatTag) && ValidCompressed(src) && CodecPcmMatches(s, d)) {
        switch (s.wFormatTag) {
            case WAVE_FORMAT_ALAW:
            case WAVE_FORMAT_MULAW:
                return MakeG711Decoder(src);
            case WAVE_FORMAT_IMA_ADPCM:
            case WAVE_FORMAT_ADPCM:
                return MakeAdpcmDecoder(src);
            case WAVE_FORMAT_GSM610:
                return MakeGsmDecoder(src);
        }
    }
    if (IsCompressedTag(d.wFormatTag) && ValidCompressed(dst) && CodecPcmMatches(d, s)) {
        switch (d.wFormatTag) {
            case WAVE_FORMAT_ALAW:
            case WAVE_FORMAT_MULAW:
                return MakeG711Encoder(dst);
            case WAVE_FORMAT_IMA_ADPCM:
                return MakeImaEncoder(dst);
            case WAVE_FORMAT_ADPCM:
                return MakeMsAdpcmEncoder(dst);
            case WAVE_FORMAT_GSM610:
                return MakeGsmEncoder(dst);
        }
    }
    return nullptr;
}

std::mutex gLock;
std::unordered_set<TAcmStream*> gStreams;

TAcmStream* Lookup(HACMSTREAM has) {
    std::lock_guard<std::mutex> lock(gLock);
    return gStreams.count(has) ? has : nullptr;
}

}  // namespace
}  // namespace codecs

using namespace codecs;

MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const tWAVEFORMATEX* pwfxSrc,
                       const tWAVEFORMATEX* pwfxDst, PWAVEFILTER pwfltr, uintptr_t dwCallback,
                       uintptr_t /*dwInstance*/, uint32_t fdwOpen) {
    const bool query = (fdwOpen & ACM_STREAMOPENF_QUERY) != 0;
    if (phas) *phas = nullptr;
    if (fdwOpen & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_ASYNC | ACM_STREAMOPENF_NONREALTIME))
        return MMSYSERR_INVALFLAG;
    if (!pwfxSrc || !pwfxDst || (!phas && !query)) return MMSYSERR_INVALPARAM;
    if (had != nullptr) return MMSYSERR_INVALHANDLE;
    if (pwfltr != nullptr || (fdwOpen & ACM_STREAMOPENF_ASYNC) || dwCallback != 0) return ACMERR_NOTPOSSIBLE;
    try {
        auto converter = FindConverter(TFormat(pwfxSrc), TFormat(pwfxDst));
        if (!converter) return ACMERR_NOTPOSSIBLE;
        if (query) return MMSYSERR_NOERROR;
        auto stream = std::make_unique<TAcmStream>();
        stream->converter = std::move(converter);
        std::lock_guard<std::mutex> lock(gLock);
        gStreams.insert(stream.get());
        *phas = stream.release();
        return MMSYSERR_NOERROR;
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
}

MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose) {
    if (fdwClose != 0) return MMSYSERR_INVALFLAG;
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (!gStreams.erase(has)) return MMSYSERR_INVALHANDLE;
    }
    delete has;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes, uint32_t fdwSize) {
    TAcmStream* s = Lookup(has);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!pdwOutputBytes) return MMSYSERR_INVALPARAM;
    *pdwOutputBytes = 0;
    uint32_t n;
    switch (fdwSize & ACM_STREAMSIZEF_QUERYMASK) {
        case ACM_STREAMSIZEF_SOURCE:
            n = s->converter->DstBytesFor(cbInput);
            break;
        case ACM_STREAMSIZEF_DESTINATION:
            n = s->converter->SrcBytesFor(cbInput);
            break;
        default:
            return MMSYSERR_INVALFLAG;
    }
    if (fdwSize & ~ACM_STREAMSIZEF_QUERYMASK) return MMSYSERR_INVALFLAG;
    // Nothing at all fits (a target smaller than one block), or the result
    // does not fit in 32 bits.
    if (cbInput != 0 && (n == 0 || n == UINT32_MAX)) return ACMERR_NOTPOSSIBLE;
    *pdwOutputBytes = n;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare) {
    TAcmStream* s = Lookup(has);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!pash || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
    if (fdwPrepare != 0) return MMSYSERR_INVALFLAG;
    if ((!pash->pbSrc && pash->cbSrcLength) || (!pash->pbDst && pash->cbDstLength)) return MMSYSERR_INVALPARAM;
    if (pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) return MMSYSERR_NOERROR;
    try {
        s->prepared[pash] = {pash->pbSrc, pash->cbSrcLength, pash->pbDst, pash->cbDstLength};
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
    pash->fdwStatus = ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare) {
    TAcmStream* s = Lookup(has);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!pash || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
    if (fdwUnprepare != 0) return MMSYSERR_INVALFLAG;
    auto it = s->prepared.find(pash);
    if (it == s->prepared.end() || !(pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
    // The header must name the blocks it was prepared with.
    if (it->second.src != pash->pbSrc || it->second.srcLen != pash->cbSrcLength || it->second.dst != pash->pbDst ||
        it->second.dstLen != pash->cbDstLength)
        return MMSYSERR_INVALPARAM;
    s->prepared.erase(it);
    pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert) {
    TAcmStream* s = Lookup(has);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!pash || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
    if (fdwConvert & ~(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END))
        return MMSYSERR_INVALFLAG;
    auto it = s->prepared.find(pash);
    if (it == s->prepared.end() || !(pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
    // Lengths may shrink after preparation but the blocks must stay the same.
    if (it->second.src != pash->pbSrc || it->second.dst != pash->pbDst || pash->cbSrcLength > it->second.srcLen ||
        pash->cbDstLength > it->second.dstLen)
        return MMSYSERR_INVALPARAM;
    pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
    pash->cbSrcLengthUsed = 0;
    pash->cbDstLengthUsed = 0;
    try {
        if (fdwConvert & ACM_STREAMCONVERTF_START) s->converter->Reset();
        const auto r = s->converter->Convert(pash->pbSrc, pash->cbSrcLength, pash->pbDst, pash->cbDstLength,
                                             (fdwConvert & ACM_STREAMCONVERTF_BLOCKALIGN) != 0,
                                             (fdwConvert & ACM_STREAMCONVERTF_END) != 0);
        pash->cbSrcLengthUsed = r.srcUsed;
        pash->cbDstLengthUsed = r.dstUsed;
        pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
        return r.ok ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
    } catch (const std::bad_alloc&) {
        pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
        return MMSYSERR_NOMEM;
    }
}

MMRESULT acmFormatSuggest(HACMDRIVER had, const tWAVEFORMATEX* pwfxSrc, tWAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest) {
    if (had != nullptr) return MMSYSERR_INVALHANDLE;
    if (fdwSuggest & ~ACM_FORMATSUGGESTF_TYPEMASK) return MMSYSERR_INVALFLAG;
    if (!pwfxSrc || !pwfxDst || cbwfxDst < 16) return MMSYSERR_INVALPARAM;
    try {
        const TFormat src(pwfxSrc);
        const tWAVEFORMATEX& s = src.Head();
        if (!BasicValid(s)) return ACMERR_NOTPOSSIBLE;
        const bool sPcm = IsPcm(s);
        if (!sPcm && !(IsCompressedTag(s.wFormatTag) && ValidCompressed(src))) return ACMERR_NOTPOSSIBLE;

        tWAVEFORMATEX want{};
        std::memcpy(&want, pwfxDst, cbwfxDst < sizeof(want) ? cbwfxDst : sizeof(want));
        uint16_t tag = sPcm ? s.wFormatTag : uint16_t(WAVE_FORMAT_PCM);
        if (fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) tag = want.wFormatTag;
        const uint16_t channels = (fdwSuggest & ACM_FORMATSUGGESTF_NCHANNELS) ? want.nChannels : s.nChannels;
        const uint32_t rate = (fdwSuggest & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) ? want.nSamplesPerSec : s.nSamplesPerSec;
        const bool bitsFixed = (fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) != 0;

        std::vector<uint8_t> out;
        if (tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT) {
            // A codec decodes to 16 bits; a PCM source keeps its depth, a
            // float one becomes 16-bit PCM unless float is asked for.
            uint16_t bits = 16;
            if (tag == WAVE_FORMAT_IEEE_FLOAT)
                bits = 32;
            else if (s.wFormatTag == WAVE_FORMAT_PCM)
                bits = s.wBitsPerSample;
            if (bitsFixed) bits = want.wBitsPerSample;
            tWAVEFORMATEX r{};
            r.wFormatTag = tag;
            r.nChannels = channels;
            r.nSamplesPerSec = rate;
            r.wBitsPerSample = bits;
            r.nBlockAlign = static_cast<uint16_t>(channels * (bits / 8));
            r.nAvgBytesPerSec = r.nBlockAlign * rate;
            r.cbSize = 0;
            out.assign(reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r) + sizeof(r));
        } else {
            out.resize(256);
            const int n = StandardCompressedFormat(tag, channels, rate, out.data(), static_cast<uint32_t>(out.size()));
            if (n <= 0) return ACMERR_NOTPOSSIBLE;
            out.resize(static_cast<size_t>(n));
            if (bitsFixed && reinterpret_cast<tWAVEFORMATEX*>(out.data())->wBitsPerSample != want.wBitsPerSample)
                return ACMERR_NOTPOSSIBLE;
        }
        // Only a format the source reaches in one step is suggested.
        if (!FindConverter(src, TFormat(reinterpret_cast<const tWAVEFORMATEX*>(out.data())))) return ACMERR_NOTPOSSIBLE;
        // A 16-byte buffer takes a PCM record without its cbSize.
        if (out.size() > cbwfxDst && !(out.size() == sizeof(tWAVEFORMATEX) && cbwfxDst >= 16 &&
                                       tag != WAVE_FORMAT_IMA_ADPCM && tag != WAVE_FORMAT_ADPCM &&
                                       tag != WAVE_FORMAT_GSM610))
            return MMSYSERR_INVALPARAM;
        std::memcpy(pwfxDst, out.data(), out.size() < cbwfxDst ? out.size() : cbwfxDst);
        return MMSYSERR_NOERROR;
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
}

}  // namespace orvant
