// The compression manager's call contract and its streaming: which
// conversions open, how headers are checked, format suggestions, and that
// converting in arbitrary pieces gives the same bytes as one call.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/codecs/Acm.h"
#include "tests/platform/codecs/CodecFormats.h"

namespace orvant {
namespace {

tWAVEFORMATEX Pcm(uint16_t channels, uint32_t rate, uint16_t bits, uint16_t tag = WAVE_FORMAT_PCM) {
    return codectest::PcmRecord(channels, rate, bits, tag);
}
std::vector<uint8_t> Codec(uint16_t tag, uint16_t channels, uint32_t rate) {
    return codectest::CodecRecord(tag, channels, rate);
}
using codectest::Wf;

// Speech-like test signal: a few partials with a slow envelope and noise.
std::vector<uint8_t> Signal(uint32_t frames, uint16_t channels, uint32_t rate) {
    std::vector<uint8_t> out(size_t(frames) * channels * 2);
    uint32_t seed = 12345;
    for (uint32_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const double env = 0.5 + 0.4 * std::sin(2 * M_PI * 3 * t);
        for (uint16_t c = 0; c < channels; ++c) {
            seed = seed * 1103515245 + 12345;
            const double noise = (int((seed >> 16) & 0x7fff) - 16384) / 16384.0;
            const double v = env * (0.5 * std::sin(2 * M_PI * (220 + 110 * c) * t) +
                                    0.25 * std::sin(2 * M_PI * 1330 * t) + 0.02 * noise);
            const int16_t s = int16_t(std::lround(v * 20000));
            std::memcpy(&out[(size_t(i) * channels + c) * 2], &s, 2);
        }
    }
    return out;
}

struct Converted {
    MMRESULT result;
    std::vector<uint8_t> data;
};

// One call with START and END, as the wave store converts.
Converted OneShot(const tWAVEFORMATEX* src, const tWAVEFORMATEX* dst, const std::vector<uint8_t>& in) {
    HACMSTREAM has = nullptr;
    Converted c{acmStreamOpen(&has, nullptr, src, dst, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME), {}};
    if (c.result) return c;
    uint32_t size = 0;
    EXPECT_EQ(acmStreamSize(has, uint32_t(in.size()), &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    c.data.resize(size);
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof(h);
    h.pbSrc = const_cast<uint8_t*>(in.data());
    h.cbSrcLength = uint32_t(in.size());
    h.pbDst = c.data.data();
    h.cbDstLength = size;
    EXPECT_EQ(acmStreamPrepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    c.result = acmStreamConvert(has, &h, ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END);
    if (c.result == MMSYSERR_NOERROR) {
        EXPECT_EQ(h.cbSrcLengthUsed, in.size());
    }
    EXPECT_LE(h.cbDstLengthUsed, size);
    EXPECT_TRUE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE);
    EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_NOERROR);
    c.data.resize(h.cbDstLengthUsed);
    return c;
}

// The same conversion fed in pieces of varying, unaligned sizes through one
// prepared header, with a small target block.
std::vector<uint8_t> Pieces(const tWAVEFORMATEX* src, const tWAVEFORMATEX* dst, const std::vector<uint8_t>& in) {
    HACMSTREAM has = nullptr;
    EXPECT_EQ(acmStreamOpen(&has, nullptr, src, dst, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    std::vector<uint8_t> srcBuf(3000), dstBuf(0), out;
    uint32_t dstSize = 0;
    EXPECT_EQ(acmStreamSize(has, uint32_t(srcBuf.size()), &dstSize, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    dstBuf.resize(dstSize * 2 + 4096);
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof(h);
    h.pbSrc = srcBuf.data();
    h.cbSrcLength = uint32_t(srcBuf.size());
    h.pbDst = dstBuf.data();
    h.cbDstLength = uint32_t(dstBuf.size());
    EXPECT_EQ(acmStreamPrepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    const uint32_t sizes[] = {1, 777, 3000, 5, 2048, 1001};
    size_t at = 0;
    bool first = true;
    for (int k = 0; at < in.size() || k == 0; ++k) {
        const uint32_t n = uint32_t(std::min<size_t>(sizes[k % 6], in.size() - at));
        std::memcpy(srcBuf.data(), in.data() + at, n);
        h.cbSrcLength = n;
        const bool last = at + n == in.size();
        uint32_t flags = (first ? ACM_STREAMCONVERTF_START : 0) | (last ? ACM_STREAMCONVERTF_END : 0);
        EXPECT_EQ(acmStreamConvert(has, &h, flags), MMSYSERR_NOERROR);
        EXPECT_EQ(h.cbSrcLengthUsed, n);
        out.insert(out.end(), dstBuf.begin(), dstBuf.begin() + h.cbDstLengthUsed);
        at += n;
        first = false;
        // The flush of a resampler may need more than one call.
        while (last && h.cbDstLengthUsed > 0) {
            h.cbSrcLength = 0;
            EXPECT_EQ(acmStreamConvert(has, &h, ACM_STREAMCONVERTF_END), MMSYSERR_NOERROR);
            out.insert(out.end(), dstBuf.begin(), dstBuf.begin() + h.cbDstLengthUsed);
        }
        if (last) break;
    }
    h.cbSrcLength = uint32_t(srcBuf.size());
    EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_NOERROR);
    return out;
}

TEST(AcmOpen, DirectConversionsOnly) {
    const auto pcm16m22 = Pcm(1, 22050, 16), pcm16m8 = Pcm(1, 8000, 16), pcm16s22 = Pcm(2, 22050, 16);
    const auto ima22 = Codec(WAVE_FORMAT_IMA_ADPCM, 1, 22050);
    const auto ms22 = Codec(WAVE_FORMAT_ADPCM, 1, 22050);
    const auto gsm = Codec(WAVE_FORMAT_GSM610, 1, 8000);
    auto query = [](const tWAVEFORMATEX* s, const tWAVEFORMATEX* d) {
        return acmStreamOpen(nullptr, nullptr, s, d, nullptr, 0, 0, ACM_STREAMOPENF_QUERY);
    };
    EXPECT_EQ(query(Wf(ima22), &pcm16m22), MMSYSERR_NOERROR);
    EXPECT_EQ(query(&pcm16m22, Wf(ms22)), MMSYSERR_NOERROR);
    // A codec converts only to 16-bit PCM of its own rate and channels.
    EXPECT_EQ(query(Wf(ima22), &pcm16m8), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(query(Wf(ima22), &pcm16s22), ACMERR_NOTPOSSIBLE);
    const auto pcm8m22 = Pcm(1, 22050, 8);
    EXPECT_EQ(query(Wf(ima22), &pcm8m22), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(query(Wf(ima22), Wf(ms22)), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(query(&pcm16m8, Wf(gsm)), MMSYSERR_NOERROR);
    EXPECT_EQ(query(&pcm16m22, Wf(gsm)), ACMERR_NOTPOSSIBLE);
    // PCM to PCM: any rate, depth, float, mono <-> stereo.
    const auto f32 = Pcm(2, 48000, 32, WAVE_FORMAT_IEEE_FLOAT), s24 = Pcm(1, 11025, 24), s32 = Pcm(2, 96000, 32);
    EXPECT_EQ(query(&f32, &pcm16m8), MMSYSERR_NOERROR);
    EXPECT_EQ(query(&s24, &s32), MMSYSERR_NOERROR);
    // More than two channels down-mix to stereo or mono, to no other count.
    const auto six = Pcm(6, 48000, 16), four = Pcm(4, 48000, 16);
    EXPECT_EQ(query(&six, &pcm16s22), MMSYSERR_NOERROR);
    EXPECT_EQ(query(&six, &four), ACMERR_NOTPOSSIBLE);
    // Records that do not describe themselves consistently are refused.
    auto badAlign = pcm16m22;
    badAlign.nBlockAlign = 3;
    EXPECT_EQ(query(&badAlign, &pcm16m8), ACMERR_NOTPOSSIBLE);
    auto badIma = ima22;
    reinterpret_cast<tWAVEFORMATEX*>(badIma.data())->nBlockAlign = 500;  // samples per block no longer match
    EXPECT_EQ(query(Wf(badIma), &pcm16m22), ACMERR_NOTPOSSIBLE);
    // Misuse of the call itself.
    HACMSTREAM has = nullptr;
    EXPECT_EQ(acmStreamOpen(&has, nullptr, nullptr, &pcm16m8, nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(acmStreamOpen(&has, nullptr, &pcm16m22, &pcm16m8, nullptr, 0, 0, 0x100), MMSYSERR_INVALFLAG);
    EXPECT_EQ(acmStreamOpen(&has, nullptr, &pcm16m22, &pcm16m8, nullptr, 0, 0, ACM_STREAMOPENF_ASYNC),
              ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(has, nullptr);
}

TEST(AcmStream, HandlesAndHeadersAreChecked) {
    const auto a = Pcm(1, 8000, 16), b = Pcm(1, 8000, 8);
    HACMSTREAM has = nullptr;
    ASSERT_EQ(acmStreamOpen(&has, nullptr, &a, &b, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME), MMSYSERR_NOERROR);
    uint8_t src[8] = {}, dst[4] = {}, other[4] = {};
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof(h);
    h.pbSrc = src;
    h.cbSrcLength = 8;
    h.pbDst = dst;
    h.cbDstLength = 4;
    EXPECT_EQ(acmStreamConvert(has, &h, 0), ACMERR_UNPREPARED);
    EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), ACMERR_UNPREPARED);
    ACMSTREAMHEADER small = h;
    small.cbStruct = 8;
    EXPECT_EQ(acmStreamPrepareHeader(has, &small, 0), MMSYSERR_INVALPARAM);
    ASSERT_EQ(acmStreamPrepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    EXPECT_TRUE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED);
    EXPECT_EQ(acmStreamConvert(has, &h, 0x1000), MMSYSERR_INVALFLAG);
    // Longer than prepared, or another block: refused.
    h.cbSrcLength = 9;
    EXPECT_EQ(acmStreamConvert(has, &h, 0), MMSYSERR_INVALPARAM);
    h.cbSrcLength = 8;
    h.pbDst = other;
    EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), MMSYSERR_INVALPARAM);
    h.pbDst = dst;
    // A shorter source is fine.
    const int16_t samples[2] = {32767, -32768};
    std::memcpy(src, samples, 4);
    h.cbSrcLength = 4;
    EXPECT_EQ(acmStreamConvert(has, &h, ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END), MMSYSERR_NOERROR);
    EXPECT_EQ(h.cbSrcLengthUsed, 4u);
    EXPECT_EQ(h.cbDstLengthUsed, 2u);
    EXPECT_EQ(dst[0], 255);
    EXPECT_EQ(dst[1], 0);
    h.cbSrcLength = 8;
    EXPECT_EQ(acmStreamUnprepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    EXPECT_FALSE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED);
    EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_NOERROR);
    // A closed or made-up handle is refused, not followed.
    uint32_t n = 0;
    EXPECT_EQ(acmStreamSize(has, 100, &n, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmStreamClose(has, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmStreamConvert(reinterpret_cast<HACMSTREAM>(&h), &h, 0), MMSYSERR_INVALHANDLE);
}

TEST(AcmStream, SizesByBlocks) {
    const auto pcm = Pcm(1, 8000, 16);
    const auto ima = Codec(WAVE_FORMAT_IMA_ADPCM, 1, 8000);  // 256-byte blocks of 505 samples
    const auto gsm = Codec(WAVE_FORMAT_GSM610, 1, 8000);
    HACMSTREAM has = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(acmStreamOpen(&has, nullptr, Wf(ima), &pcm, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamSize(has, 256, &n, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    EXPECT_EQ(n, 1010u);
    EXPECT_EQ(acmStreamSize(has, 257, &n, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    EXPECT_EQ(n, 2020u);
    EXPECT_EQ(acmStreamSize(has, 2020, &n, ACM_STREAMSIZEF_DESTINATION), MMSYSERR_NOERROR);
    EXPECT_EQ(n, 512u);
    EXPECT_EQ(acmStreamSize(has, 1000, &n, ACM_STREAMSIZEF_DESTINATION), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(acmStreamSize(has, 10, &n, 7), MMSYSERR_INVALFLAG);
    acmStreamClose(has, 0);
    ASSERT_EQ(acmStreamOpen(&has, nullptr, &pcm, Wf(gsm), nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamSize(has, 640, &n, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    EXPECT_EQ(n, 65u);
    acmStreamClose(has, 0);
}

TEST(AcmStream, BlockAlignLeavesPartialBlocksUnused) {
    const auto pcm = Pcm(2, 22050, 16);
    const auto ima = Codec(WAVE_FORMAT_IMA_ADPCM, 2, 22050);  // 1024-byte blocks
    const std::vector<uint8_t> in = Signal(4000, 2, 22050);
    const auto enc = OneShot(&pcm, Wf(ima), in);
    ASSERT_EQ(enc.result, MMSYSERR_NOERROR);
    ASSERT_EQ(enc.data.size(), 4096u);  // 4000 frames in 4 blocks of 1017
    HACMSTREAM has = nullptr;
    ASSERT_EQ(acmStreamOpen(&has, nullptr, Wf(ima), &pcm, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    std::vector<uint8_t> out(1017 * 4 * 4);
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof(h);
    h.pbSrc = const_cast<uint8_t*>(enc.data.data());
    h.cbSrcLength = 1500;
    h.pbDst = out.data();
    h.cbDstLength = uint32_t(out.size());
    ASSERT_EQ(acmStreamPrepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamConvert(has, &h, ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_NOERROR);
    EXPECT_EQ(h.cbSrcLengthUsed, 1024u);
    EXPECT_EQ(h.cbDstLengthUsed, 1017u * 4);
    acmStreamUnprepareHeader(has, &h, 0);
    acmStreamClose(has, 0);
}

TEST(AcmFormatSuggest, CompletesThePcmRecordOfTheDecoder) {
    auto suggest = [](const tWAVEFORMATEX* src, tWAVEFORMATEX& dst) {
        return acmFormatSuggest(nullptr, src, &dst, sizeof(dst),
                                ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                                    ACM_FORMATSUGGESTF_NSAMPLESPERSEC);
    };
    auto pcmRequest = [](const tWAVEFORMATEX* src) {
        tWAVEFORMATEX r{};
        r.wFormatTag = WAVE_FORMAT_PCM;
        r.nChannels = src->nChannels;
        r.nSamplesPerSec = src->nSamplesPerSec;
        return r;
    };
    for (uint16_t tag : {WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_ADPCM, WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW}) {
        const auto codec = Codec(tag, 2, 22050);
        tWAVEFORMATEX r = pcmRequest(Wf(codec));
        ASSERT_EQ(suggest(Wf(codec), r), MMSYSERR_NOERROR) << tag;
        EXPECT_EQ(r.wBitsPerSample, 16);
        EXPECT_EQ(r.nBlockAlign, 4);
        EXPECT_EQ(r.nAvgBytesPerSec, 88200u);
        EXPECT_EQ(r.cbSize, 0);
    }
    // PCM keeps its depth; float becomes 16-bit PCM.
    const auto pcm8 = Pcm(1, 11025, 8), f32 = Pcm(2, 44100, 32, WAVE_FORMAT_IEEE_FLOAT);
    tWAVEFORMATEX r = pcmRequest(&pcm8);
    ASSERT_EQ(suggest(&pcm8, r), MMSYSERR_NOERROR);
    EXPECT_EQ(r.wBitsPerSample, 8);
    EXPECT_EQ(r.nAvgBytesPerSec, 11025u);
    r = pcmRequest(&f32);
    ASSERT_EQ(suggest(&f32, r), MMSYSERR_NOERROR);
    EXPECT_EQ(r.wBitsPerSample, 16);
    EXPECT_EQ(r.nBlockAlign, 4);
    // GSM decodes to mono 8 kHz only.
    const auto gsm = Codec(WAVE_FORMAT_GSM610, 1, 8000);
    r = pcmRequest(Wf(gsm));
    ASSERT_EQ(suggest(Wf(gsm), r), MMSYSERR_NOERROR);
    r.nSamplesPerSec = 16000;
    EXPECT_EQ(suggest(Wf(gsm), r), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(acmFormatSuggest(nullptr, &pcm8, &r, sizeof(r), 0x1), MMSYSERR_INVALFLAG);
}

TEST(AcmFormatSuggest, StandardCompressedLayouts) {
    const auto ima = Codec(WAVE_FORMAT_IMA_ADPCM, 1, 8000);
    EXPECT_EQ(Wf(ima)->nBlockAlign, 256);
    EXPECT_EQ(Wf(ima)->wBitsPerSample, 4);
    ASSERT_EQ(Wf(ima)->cbSize, 2);
    EXPECT_EQ(ima[18] | ima[19] << 8, 505);
    EXPECT_EQ(Wf(ima)->nAvgBytesPerSec, 4055u);
    const auto ms = Codec(WAVE_FORMAT_ADPCM, 2, 44100);
    EXPECT_EQ(Wf(ms)->nBlockAlign, 2048);
    ASSERT_EQ(Wf(ms)->cbSize, 32);
    EXPECT_EQ(ms[18] | ms[19] << 8, 2036);
    EXPECT_EQ(ms[20] | ms[21] << 8, 7);
    const auto gsm = Codec(WAVE_FORMAT_GSM610, 1, 8000);
    EXPECT_EQ(Wf(gsm)->nBlockAlign, 65);
    EXPECT_EQ(Wf(gsm)->nAvgBytesPerSec, 1625u);
    // A record buffer too small for the extra bytes.
    const auto pcm = Pcm(1, 8000, 16);
    tWAVEFORMATEX r{};
    r.wFormatTag = WAVE_FORMAT_IMA_ADPCM;
    EXPECT_EQ(acmFormatSuggest(nullptr, &pcm, &r, sizeof(r), ACM_FORMATSUGGESTF_WFORMATTAG), MMSYSERR_INVALPARAM);
}

// Every converter gives the same bytes whether fed at once or in pieces.
TEST(AcmStream, PiecesGiveTheSameBytesAsOneCall) {
    const auto pcm8k = Pcm(1, 8000, 16), pcm22s = Pcm(2, 22050, 16), pcm44s = Pcm(2, 44100, 16);
    const auto f32 = Pcm(1, 48000, 32, WAVE_FORMAT_IEEE_FLOAT), s24 = Pcm(2, 22050, 24);
    const std::vector<uint8_t> mono8k = Signal(8000, 1, 8000), stereo22 = Signal(11025, 2, 22050),
                               stereo44 = Signal(22050, 2, 44100);
    struct Case {
        const char* name;
        const tWAVEFORMATEX* src;
        const tWAVEFORMATEX* dst;
        const std::vector<uint8_t>* in;
    };
    const auto ima = Codec(WAVE_FORMAT_IMA_ADPCM, 2, 22050), ms = Codec(WAVE_FORMAT_ADPCM, 2, 22050),
               alaw = Codec(WAVE_FORMAT_ALAW, 2, 22050), gsm = Codec(WAVE_FORMAT_GSM610, 1, 8000);
    const std::vector<uint8_t> imaData = OneShot(&pcm22s, Wf(ima), stereo22).data;
    const std::vector<uint8_t> msData = OneShot(&pcm22s, Wf(ms), stereo22).data;
    const std::vector<uint8_t> gsmData = OneShot(&pcm8k, Wf(gsm), mono8k).data;
    const Case cases[] = {
        {"resample 44.1k stereo -> 8k mono", &pcm44s, &pcm8k, &stereo44},
        {"resample 8k mono -> 48k float", &pcm8k, &f32, &mono8k},
        {"depth 16 -> 24 stereo", &pcm22s, &s24, &stereo22},
        {"ima encode", &pcm22s, Wf(ima), &stereo22},
        {"ima decode", Wf(ima), &pcm22s, &imaData},
        {"ms adpcm encode", &pcm22s, Wf(ms), &stereo22},
        {"ms adpcm decode", Wf(ms), &pcm22s, &msData},
        {"a-law encode", &pcm22s, Wf(alaw), &stereo22},
        {"gsm encode", &pcm8k, Wf(gsm), &mono8k},
        {"gsm decode", Wf(gsm), &pcm8k, &gsmData},
    };
    for (const Case& c : cases) {
        const Converted whole = OneShot(c.src, c.dst, *c.in);
        ASSERT_EQ(whole.result, MMSYSERR_NOERROR) << c.name;
        EXPECT_FALSE(whole.data.empty()) << c.name;
        EXPECT_EQ(Pieces(c.src, c.dst, *c.in), whole.data) << c.name;
    }
}

}  // namespace
}  // namespace orvant

namespace orvant {
namespace {

std::vector<double> Samples(const std::vector<uint8_t>& pcm16) {
    std::vector<double> v(pcm16.size() / 2);
    for (size_t i = 0; i < v.size(); ++i) {
        int16_t s;
        std::memcpy(&s, &pcm16[2 * i], 2);
        v[i] = s;
    }
    return v;
}

// Signal-to-error ratio in dB of b against a over a's length, and the
// largest sample difference.
struct Error {
    double snr;
    double maxDiff;
};
Error Compare(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    const auto x = Samples(a), y = Samples(b);
    double sig = 0, err = 0, maxDiff = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        const double d = i < y.size() ? y[i] - x[i] : x[i];
        sig += x[i] * x[i];
        err += d * d;
        maxDiff = std::max(maxDiff, std::fabs(d));
    }
    return {err == 0 ? 1000 : 10 * std::log10(sig / err), maxDiff};
}

// PCM to each codec and back stays within what the codec is known to lose.
TEST(AcmRoundTrip, EveryCodecWithinItsTolerance) {
    struct Case {
        uint16_t tag;
        uint16_t channels;
        uint32_t rate;
        double minSnr;
    };
    // G.711 keeps about 8 bits of a speech-level signal, 4-bit ADPCM a bit
    // less, GSM 6.10 models the waveform only roughly.
    const Case cases[] = {
        {WAVE_FORMAT_ALAW, 1, 8000, 34},       {WAVE_FORMAT_MULAW, 2, 44100, 34},
        {WAVE_FORMAT_IMA_ADPCM, 1, 8000, 22},  {WAVE_FORMAT_IMA_ADPCM, 2, 44100, 33},
        {WAVE_FORMAT_ADPCM, 1, 11025, 27},     {WAVE_FORMAT_ADPCM, 2, 22050, 33},
        {WAVE_FORMAT_GSM610, 1, 8000, 11},
    };
    for (const Case& c : cases) {
        const auto pcm = Pcm(c.channels, c.rate, 16);
        const auto codec = Codec(c.tag, c.channels, c.rate);
        const auto in = Signal(c.rate, c.channels, c.rate);
        const auto enc = OneShot(&pcm, Wf(codec), in);
        ASSERT_EQ(enc.result, MMSYSERR_NOERROR);
        EXPECT_EQ(enc.data.size() % Wf(codec)->nBlockAlign, 0u);
        const auto dec = OneShot(Wf(codec), &pcm, enc.data);
        ASSERT_EQ(dec.result, MMSYSERR_NOERROR);
        EXPECT_GE(dec.data.size(), in.size()) << c.tag;
        const Error e = Compare(in, dec.data);
        EXPECT_GE(e.snr, c.minSnr) << "tag " << c.tag << " ch " << c.channels << " rate " << c.rate;
    }
}

TEST(AcmRoundTrip, PcmDepthsChannelsAndRates) {
    const auto s16 = Pcm(2, 22050, 16);
    const auto in = Signal(22050, 2, 22050);
    struct Case {
        tWAVEFORMATEX mid;
        double maxDiff;  // largest sample error back in 16 bits
    };
    const Case exact[] = {
        {Pcm(2, 22050, 24), 0}, {Pcm(2, 22050, 32), 0}, {Pcm(2, 22050, 32, WAVE_FORMAT_IEEE_FLOAT), 0},
        {Pcm(2, 22050, 8), 128},
    };
    for (const Case& c : exact) {
        const auto there = OneShot(&s16, &c.mid, in);
        ASSERT_EQ(there.result, MMSYSERR_NOERROR);
        EXPECT_EQ(there.data.size(), in.size() / 2 * c.mid.wBitsPerSample / 8);
        const auto back = OneShot(&c.mid, &s16, there.data);
        ASSERT_EQ(back.data.size(), in.size());
        EXPECT_LE(Compare(in, back.data).maxDiff, c.maxDiff) << c.mid.wBitsPerSample;
    }
    // Mono to stereo and back is exact; stereo to mono averages.
    const auto m16 = Pcm(1, 22050, 16);
    const auto mono = Signal(22050, 1, 22050);
    const auto wide = OneShot(&m16, &s16, mono);
    EXPECT_EQ(OneShot(&s16, &m16, wide.data).data, mono);
    const int16_t lr[2] = {1000, -3000};
    const std::vector<uint8_t> frame(reinterpret_cast<const uint8_t*>(lr), reinterpret_cast<const uint8_t*>(lr) + 4);
    const auto avg = OneShot(&s16, &m16, frame);
    ASSERT_EQ(avg.data.size(), 2u);
    EXPECT_EQ(Samples(avg.data)[0], -1000);
    // Down to 11025 Hz and up again: the band below 5 kHz survives.
    const auto low = Pcm(2, 11025, 16);
    const auto down = OneShot(&s16, &low, in);
    EXPECT_NEAR(double(down.data.size()), in.size() / 2.0, 4 * 2 * 2);
    const auto up = OneShot(&low, &s16, down.data);
    EXPECT_NEAR(double(up.data.size()), double(in.size()), 4 * 2 * 2);
    // Skip the edges, where the filters start and stop.
    const std::vector<uint8_t> a(in.begin() + 4000, in.end() - 4000), b(up.data.begin() + 4000, up.data.begin() + (in.size() - 4000));
    EXPECT_GE(Compare(a, b).snr, 30);
}

}  // namespace
}  // namespace orvant

namespace orvant {
namespace {

// Damaged data never makes a decoder read or write out of bounds: it is
// decoded to something or refused with an error.
TEST(AcmRobustness, GarbageThroughEveryDecoder) {
    uint32_t seed = 7;
    auto next = [&seed] { return seed = seed * 1664525 + 1013904223; };
    const std::vector<uint8_t> formats[] = {
        Codec(WAVE_FORMAT_IMA_ADPCM, 1, 8000), Codec(WAVE_FORMAT_IMA_ADPCM, 2, 44100),
        Codec(WAVE_FORMAT_ADPCM, 1, 22050),    Codec(WAVE_FORMAT_ADPCM, 2, 11025),
        Codec(WAVE_FORMAT_GSM610, 1, 8000),    Codec(WAVE_FORMAT_ALAW, 2, 8000),
        Codec(WAVE_FORMAT_MULAW, 1, 8000),
    };
    for (const auto& f : formats) {
        const auto pcm = Pcm(Wf(f)->nChannels, Wf(f)->nSamplesPerSec, 16);
        for (uint32_t len : {1u, 7u, 65u, 255u, 256u, 1000u, 4096u, 9999u}) {
            std::vector<uint8_t> junk(len);
            for (auto& b : junk) b = uint8_t(next() >> 24);
            const Converted c = OneShot(Wf(f), &pcm, junk);
            EXPECT_TRUE(c.result == MMSYSERR_NOERROR || c.result == MMSYSERR_ERROR) << c.result;
        }
        // A block whose header names a step or predictor that does not exist.
        std::vector<uint8_t> bad(Wf(f)->nBlockAlign, 0xFF);
        if (Wf(f)->wFormatTag == WAVE_FORMAT_IMA_ADPCM || Wf(f)->wFormatTag == WAVE_FORMAT_ADPCM) {
            EXPECT_EQ(OneShot(Wf(f), &pcm, bad).result, MMSYSERR_ERROR);
        }
    }
}

}  // namespace
}  // namespace orvant

namespace orvant {
namespace {

// After a stream has ended, further data on the same handle converts as a
// new stream (the resampler is not fed after its flush).
TEST(AcmStream, DataAfterTheEndStartsANewStream) {
    const auto src = Pcm(2, 44100, 16), dst = Pcm(1, 16000, 16);
    const std::vector<uint8_t> in = Signal(4410, 2, 44100);
    HACMSTREAM has = nullptr;
    ASSERT_EQ(acmStreamOpen(&has, nullptr, &src, &dst, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    uint32_t size = 0;
    ASSERT_EQ(acmStreamSize(has, uint32_t(in.size()), &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    std::vector<uint8_t> out(size);
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof(h);
    h.pbSrc = const_cast<uint8_t*>(in.data());
    h.cbSrcLength = uint32_t(in.size());
    h.pbDst = out.data();
    h.cbDstLength = size;
    ASSERT_EQ(acmStreamPrepareHeader(has, &h, 0), MMSYSERR_NOERROR);
    std::vector<std::vector<uint8_t>> results;
    for (uint32_t flags : {ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END, ACM_STREAMCONVERTF_END}) {
        ASSERT_EQ(acmStreamConvert(has, &h, flags), MMSYSERR_NOERROR);
        results.emplace_back(out.begin(), out.begin() + h.cbDstLengthUsed);
        // What the first call may still hold comes out before the next one.
        h.cbSrcLength = 0;
        ASSERT_EQ(acmStreamConvert(has, &h, ACM_STREAMCONVERTF_END), MMSYSERR_NOERROR);
        EXPECT_EQ(h.cbDstLengthUsed, 0u);
        h.cbSrcLength = uint32_t(in.size());
    }
    EXPECT_NEAR(double(results[0].size()), 1600 * 2, 8);
    EXPECT_EQ(results[0], results[1]);
    acmStreamUnprepareHeader(has, &h, 0);

    // The same with a target block too small for the tail, and the second
    // stream's data offered as soon as the first one's is in: the tail comes
    // out first, then the second stream, nothing lost or fed twice.
    std::vector<uint8_t> small(512), feed(in.size()), all;
    ACMSTREAMHEADER t{};
    t.cbStruct = sizeof(t);
    t.pbSrc = feed.data();
    t.cbSrcLength = uint32_t(in.size());
    t.pbDst = small.data();
    t.cbDstLength = uint32_t(small.size());
    ASSERT_EQ(acmStreamPrepareHeader(has, &t, 0), MMSYSERR_NOERROR);
    size_t at = 0;
    int stream = 0;
    uint32_t flags = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END;
    for (int guard = 0; guard < 1000; ++guard) {
        std::copy(in.begin() + long(at), in.end(), feed.begin());
        t.cbSrcLength = uint32_t(in.size() - at);
        ASSERT_EQ(acmStreamConvert(has, &t, flags), MMSYSERR_NOERROR);
        flags = ACM_STREAMCONVERTF_END;
        at += t.cbSrcLengthUsed;
        all.insert(all.end(), small.begin(), small.begin() + t.cbDstLengthUsed);
        if (at == in.size() && stream == 0) {
            stream = 1;
            at = 0;
        } else if (at == in.size() && t.cbDstLengthUsed < small.size()) {
            break;
        }
    }
    std::vector<uint8_t> twice = results[0];
    twice.insert(twice.end(), results[0].begin(), results[0].end());
    EXPECT_EQ(all, twice);
    t.cbSrcLength = uint32_t(in.size());
    EXPECT_EQ(acmStreamUnprepareHeader(has, &t, 0), MMSYSERR_NOERROR);
    acmStreamClose(has, 0);
}

}  // namespace
}  // namespace orvant
