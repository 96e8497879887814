// Format descriptors: the standard PCM table, time/byte conversions, texts,
// peak level and silence.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/support/WaveSupport.h"
#include "wave/WaveUtils.h"

using namespace orvant;
using testsupport::Pcm;

namespace {

tWAVEFORMATEX Record(uint16_t tag, uint32_t rate, uint16_t channels, uint16_t bits) {
    tWAVEFORMATEX wf{};
    wf.wFormatTag = tag;
    wf.nSamplesPerSec = rate;
    wf.nChannels = channels;
    wf.wBitsPerSample = bits;
    wf.nBlockAlign = uint16_t(uint32_t(channels) * bits / 8);
    wf.nAvgBytesPerSec = uint32_t(wf.nBlockAlign) * rate;
    return wf;
}

}  // namespace

TEST(PCMFormats, TableRoundTripsAndFollowsItsOrder) {
    uint32_t lastKey = 0;
    for (int i = FirstPCMFormat; i <= LastPCMFormat; ++i) {
        const auto f = TPCMFormat(i);
        const tWAVEFORMATEX wf = Pcm(f);
        EXPECT_EQ(wf.wFormatTag, 1);
        EXPECT_EQ(wf.cbSize, 0);
        EXPECT_EQ(wf.nBlockAlign, wf.nChannels * wf.wBitsPerSample / 8);
        EXPECT_EQ(wf.nAvgBytesPerSec, wf.nBlockAlign * wf.nSamplesPerSec);
        EXPECT_EQ(WaveFormatToPCMFormat(&wf), f) << i;
        // rate ascending, then 8 before 16 bits, then mono before stereo
        const uint32_t key = wf.nSamplesPerSec * 100 + wf.wBitsPerSample * 2 + wf.nChannels;
        EXPECT_GT(key, lastKey) << i;
        lastKey = key;
    }
    const tWAVEFORMATEX s = Pcm(Stereo16bit22050Hz);
    EXPECT_EQ(s.nChannels, 2);
    EXPECT_EQ(s.nSamplesPerSec, 22050u);
    EXPECT_EQ(s.wBitsPerSample, 16);
    EXPECT_EQ(s.nAvgBytesPerSec, 88200u);
    const tWAVEFORMATEX m = Pcm(Mono8Bit8000Hz);
    EXPECT_EQ(m.nChannels, 1);
    EXPECT_EQ(m.nBlockAlign, 1);
}

TEST(PCMFormats, NoneLeavesRecordAndMappingIgnoresAlignAndExtras) {
    tWAVEFORMATEX wf;
    std::memset(&wf, 0xAB, sizeof wf);
    PCMFormatToWaveFormat(&wf, nonePCM);
    for (size_t i = 0; i < sizeof wf; ++i) EXPECT_EQ(reinterpret_cast<uint8_t*>(&wf)[i], 0xAB);

    tWAVEFORMATEX odd = Pcm(Mono16bit44100Hz);
    odd.nBlockAlign = 7;
    odd.nAvgBytesPerSec = 1;
    odd.cbSize = 22;
    EXPECT_EQ(WaveFormatToPCMFormat(&odd), Mono16bit44100Hz);

    const tWAVEFORMATEX flt = Record(3, 44100, 2, 32);
    EXPECT_EQ(WaveFormatToPCMFormat(&flt), nonePCM);
    const tWAVEFORMATEX tag2 = Record(2, 8000, 1, 16);
    EXPECT_EQ(WaveFormatToPCMFormat(&tag2), nonePCM);
    const tWAVEFORMATEX rate = Record(1, 16000, 1, 16);
    EXPECT_EQ(WaveFormatToPCMFormat(&rate), nonePCM);
    EXPECT_EQ(WaveFormatToPCMFormat(nullptr), nonePCM);
}

TEST(PCMFormats, DeviceFormatSet) {
    TWaveDeviceFormats s{Mono8Bit8000Hz, Stereo16bit48000Hz};
    EXPECT_TRUE(s.Contains(Mono8Bit8000Hz));
    EXPECT_TRUE(s.Contains(Stereo16bit48000Hz));
    EXPECT_FALSE(s.Contains(Mono16bit8000Hz));
    EXPECT_EQ(s.Bits(), (1u << 1) | (1u << 20));
    s.Exclude(Mono8Bit8000Hz);
    EXPECT_EQ(s.Count(), 1);
    EXPECT_EQ(TWaveDeviceFormats::All().Count(), 20);
    EXPECT_FALSE(TWaveDeviceFormats::All().Contains(nonePCM));
    EXPECT_EQ(TWaveDeviceFormats::All() * s, s);
    EXPECT_TRUE((s - s).IsEmpty());
    EXPECT_FALSE(s.Contains(TPCMFormat(200)));
}

TEST(TimeAndBytes, RoundingDirections) {
    const tWAVEFORMATEX s22 = Pcm(Stereo16bit22050Hz);
    EXPECT_EQ(BufferBytesForMs(&s22, 10), 884u);
    EXPECT_EQ(BlockBytesForMs(&s22, 10), 880u);
    const tWAVEFORMATEX s44 = Pcm(Stereo16bit44100Hz);
    EXPECT_EQ(BufferBytesForMs(&s44, 25), 4412u);
    EXPECT_EQ(BlockBytesForMs(&s44, 25), 4408u);
    const tWAVEFORMATEX m11 = Pcm(Mono8bit11025Hz);
    EXPECT_EQ(BufferBytesForMs(&m11, 1), 11u);
    EXPECT_EQ(BlockBytesForMs(&m11, 1), 11u);
    const tWAVEFORMATEX m8 = Pcm(Mono16bit8000Hz);
    EXPECT_EQ(MsForBytes(&m8, 16001), 1000u);
    EXPECT_EQ(MsForBytes(&m8, 16008), 1001u);
    EXPECT_EQ(MsForBytes(&m8, 1000), 63u);  // 62.5 rounds away from zero
    EXPECT_EQ(BufferBytesForMs(&s22, 1000), 88200u);
    EXPECT_EQ(BufferBytesForMs(&s22, 0), 0u);
}

TEST(TimeAndBytes, OverflowAndZeroRates) {
    const tWAVEFORMATEX s48 = Pcm(Stereo16bit48000Hz);  // 192000 B/s
    // 2^31 bytes are passed at about 11185 s; the overflow reads as 2^32 - 1
    // and is not rounded to a block (which would wrap to 0).
    EXPECT_EQ(BufferBytesForMs(&s48, 20000000), 0xFFFFFFFFu);
    EXPECT_EQ(BlockBytesForMs(&s48, 20000000), 0xFFFFFFFFu);
    EXPECT_EQ(BlockBytesForMs(&s48, 0xFFFFFFFFu), 0xFFFFFFFFu);
    tWAVEFORMATEX zero = s48;
    zero.nAvgBytesPerSec = 0;
    EXPECT_EQ(MsForBytes(&zero, 1234), 0u);
    EXPECT_EQ(BufferBytesForMs(&zero, 1234), 0u);
    // Data sizes beyond 2 GiB (legal in a WAV file) still convert.
    EXPECT_EQ(MsForBytes(&s48, 3840000000u), 20000000u);
}

TEST(TimeAndBytes, AgreesWithMulDivOnItsRange) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<uint32_t> ms(0, 5000000), rate(0, 400000);
    for (int i = 0; i < 20000; ++i) {
        tWAVEFORMATEX wf = Pcm(Stereo16bit44100Hz);
        wf.nAvgBytesPerSec = rate(rng);
        const uint32_t m = ms(rng);
        const uint32_t expect = uint32_t(MulDiv(int32_t(wf.nAvgBytesPerSec), int32_t(m), 1000));
        const uint32_t got = BlockBytesForMs(&wf, m);
        ASSERT_EQ(got, expect == 0xFFFFFFFFu ? expect : expect / 4 * 4) << m << " " << wf.nAvgBytesPerSec;
        if (wf.nAvgBytesPerSec) {
            ASSERT_EQ(MsForBytes(&wf, m), uint32_t(MulDiv(1000, int32_t(m), int32_t(wf.nAvgBytesPerSec))));
        }
    }
}

TEST(TimeAndBytes, NominalBitRate) {
    const tWAVEFORMATEX a = Pcm(Stereo16bit44100Hz), b = Pcm(Mono8Bit8000Hz), c = Pcm(Mono16bit22050Hz);
    EXPECT_EQ(NominalBitRate(&a), 1411u);
    EXPECT_EQ(NominalBitRate(&b), 64u);
    EXPECT_EQ(NominalBitRate(&c), 353u);
    const tWAVEFORMATEX mp3 = Record(85, 22050, 1, 0);
    EXPECT_EQ(NominalBitRate(&mp3), 0u);
}

TEST(Texts, TagNamesAndDescriptions) {
    EXPECT_EQ(FormatTagText(1), "PCM");
    EXPECT_EQ(FormatTagText(7), "u-Law");
    EXPECT_EQ(FormatTagText(49), "GSM 6.10");
    EXPECT_EQ(FormatTagText(85), "MPEG Layer-3");
    EXPECT_EQ(FormatTagText(0), "");
    EXPECT_EQ(FormatTagText(9), "");
    EXPECT_EQ(FormatTagText(0xFFFE), "");

    const struct {
        tWAVEFORMATEX wf;
        const char* text;
    } rows[] = {
        {Record(1, 44100, 2, 16), "PCM: 44.100 kHz, 16 Bit, Stereo"},
        {Record(85, 22050, 1, 0), "MPEG Layer-3: 22.050 kHz, Mono"},
        {Record(0, 48000, 6, 16), "48.000 kHz, 16 Bit, 6 Ch"},
        {Record(3, 44100, 2, 32), "PCM IEEE: 44.100 kHz, 32 Bit, Stereo"},
        {Record(2, 8000, 1, 4), "Microsoft ADPCM: 8.000 kHz, 4 Bit, Mono"},
        {Record(9, 11025, 2, 0), "11.025 kHz, Stereo"},
        {Record(6, 8000, 0, 0), "A-Law: 8.000 kHz, 0 Ch"},
        {Record(1, 4294967295u, 65535, 65535), "PCM: 4294967.295 kHz, 65535 Bit, 65535 Ch"},
    };
    for (const auto& r : rows) EXPECT_EQ(DescribeWaveFormat(&r.wf), r.text);
}

TEST(Samples, PeakPercent8Bit) {
    const tWAVEFORMATEX wf = Pcm(Mono8bit22050Hz);
    std::vector<uint8_t> low(1000);
    for (size_t i = 0; i < low.size(); ++i) low[i] = uint8_t(i % 129);  // 0..128
    EXPECT_EQ(PeakPercent(low.data(), uint32_t(low.size()), &wf), 0);
    std::vector<uint8_t> full(77, 128);
    full[76] = 255;  // in the scalar tail
    EXPECT_EQ(PeakPercent(full.data(), uint32_t(full.size()), &wf), 100);
    full[76] = 128;
    full[3] = 128 + 64;  // in the vector part: 64 * 100 / 127 = 50
    EXPECT_EQ(PeakPercent(full.data(), uint32_t(full.size()), &wf), 50);
    EXPECT_EQ(PeakPercent(nullptr, 0, &wf), 0);
}

TEST(Samples, PeakPercent16BitCountsOnlyPositiveHalfWave) {
    const tWAVEFORMATEX wf = Pcm(Stereo16bit44100Hz);
    for (size_t n : {1u, 15u, 16u, 17u, 100u, 4099u}) {
        for (size_t at = 0; at < n; at += (n > 20 ? 7 : 1)) {
            std::vector<int16_t> s(n, -32768);
            s[at] = 16384;
            ASSERT_EQ(PeakPercent(s.data(), uint32_t(n * 2), &wf), 50) << n << " " << at;
        }
    }
    std::vector<int16_t> neg(300, -32768);
    EXPECT_EQ(PeakPercent(neg.data(), 600, &wf), 0);
    std::vector<int16_t> full(5, 32767);
    EXPECT_EQ(PeakPercent(full.data(), 10, &wf), 100);
    // A trailing odd byte is not a sample.
    uint8_t bytes[5] = {0, 0, 0, 0, 0x7F};
    EXPECT_EQ(PeakPercent(bytes, 5, &wf), 0);
    // Samples at an odd address are read as little-endian pairs.
    std::vector<uint8_t> shifted(1 + 2 * 40, 0);
    shifted[1 + 2 * 33] = 0xFF;
    shifted[1 + 2 * 33 + 1] = 0x7F;
    EXPECT_EQ(PeakPercent(shifted.data() + 1, 80, &wf), 100);
}

TEST(Samples, UnsupportedFormatsAndSilence) {
    uint8_t buf[64];
    std::memset(buf, 0x55, sizeof buf);
    const tWAVEFORMATEX pcm24 = Record(1, 44100, 2, 24), flt = Record(3, 44100, 2, 16);
    EXPECT_EQ(PeakPercent(buf, sizeof buf, &pcm24), -1);
    EXPECT_EQ(PeakPercent(buf, sizeof buf, &flt), -1);
    EXPECT_FALSE(FillWithSilence(buf, sizeof buf, &pcm24));
    EXPECT_FALSE(FillWithSilence(buf, sizeof buf, &flt));
    for (uint8_t b : buf) ASSERT_EQ(b, 0x55);
    EXPECT_EQ(SilenceValue(&pcm24), -1);

    const tWAVEFORMATEX m8 = Pcm(Stereo8bit8000Hz), m16 = Pcm(Mono16bit8000Hz);
    EXPECT_TRUE(FillWithSilence(buf, 63, &m8));
    for (int i = 0; i < 63; ++i) ASSERT_EQ(buf[i], 128);
    EXPECT_EQ(buf[63], 0x55);
    EXPECT_TRUE(FillWithSilence(buf, sizeof buf, &m16));
    for (uint8_t b : buf) ASSERT_EQ(b, 0);
    EXPECT_EQ(PeakPercent(buf, sizeof buf, &m16), 0);
    EXPECT_TRUE(FillWithSilence(nullptr, 0, &m16));
}

TEST(Records, CopyAllocatesWholeExtraBytes) {
    PWaveFormatEx wf = AllocWaveFormat(4);
    ASSERT_NE(wf, nullptr);
    wf->cbSize = 4;
    WaveFormatExtra(wf)[3] = 9;
    PWaveFormatEx copy = CopyWaveFormat(wf);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(WaveFormatSize(copy), 22u);
    EXPECT_EQ(std::memcmp(wf, copy, 22), 0);
    FreeWaveFormat(copy);
    FreeWaveFormat(wf);
    EXPECT_EQ(CopyWaveFormat(nullptr), nullptr);
}
