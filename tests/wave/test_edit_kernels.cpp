// Sample kernels of the editing operations: reversal, volume scaling and
// averaging, checked against straightforward reference formulas, on small
// hand-made blocks and on blocks large enough for the table-driven paths.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/support/WaveSupport.h"
#include "wave/WaveUtils.h"

using namespace orvant;
using testsupport::Pcm;

namespace {

using Bytes = std::vector<uint8_t>;

tWAVEFORMATEX Record(uint16_t tag, uint16_t bits) {
    tWAVEFORMATEX wf{};
    wf.wFormatTag = tag;
    wf.nChannels = 1;
    wf.nSamplesPerSec = 8000;
    wf.wBitsPerSample = bits;
    wf.nBlockAlign = uint16_t(bits / 8 ? bits / 8 : 1);
    wf.nAvgBytesPerSec = 8000u * wf.nBlockAlign;
    return wf;
}

Bytes S16(std::initializer_list<int> samples) {
    Bytes b;
    for (int s : samples) {
        b.push_back(uint8_t(s & 0xFF));
        b.push_back(uint8_t((s >> 8) & 0xFF));
    }
    return b;
}

int16_t SampleAt(const Bytes& b, size_t i) {
    int16_t v;
    std::memcpy(&v, b.data() + 2 * i, 2);
    return v;
}

Bytes Random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

// The scaling formula with a 64-bit product, sample by sample.
Bytes ReferenceScale(Bytes b, int bits, int32_t percent) {
    if (bits == 8) {
        for (auto& x : b) {
            const int64_t d = int64_t(x) - 128;
            x = uint8_t(std::clamp<int64_t>(128 + d + d * percent / 100, 0, 255));
        }
    } else {
        for (size_t i = 0; i + 1 < b.size(); i += 2) {
            int16_t v;
            std::memcpy(&v, &b[i], 2);
            const int64_t d = v;
            v = int16_t(std::clamp<int64_t>(d + d * percent / 100, -32767, 32767));
            std::memcpy(&b[i], &v, 2);
        }
    }
    return b;
}

// The plain average with 64-bit sums, sample by sample.
Bytes ReferenceAverage(const std::vector<Bytes>& sources, int bits, size_t outSize) {
    Bytes out(outSize, 0);
    const size_t w = size_t(bits / 8);
    for (size_t i = 0; i + w <= outSize; i += w) {
        int64_t sum = 0;
        for (const Bytes& s : sources) {
            if (i + w > s.size())
                sum += bits == 8 ? 128 : 0;
            else if (bits == 8)
                sum += s[i];
            else
                sum += SampleAt(s, i / 2);
        }
        const int64_t q = sum / int64_t(sources.size());
        if (bits == 8) {
            out[i] = uint8_t(q);
        } else {
            const int16_t v = int16_t(q);
            std::memcpy(&out[i], &v, 2);
        }
    }
    return out;
}

std::vector<TMixingSource> Table(const std::vector<Bytes>& sources) {
    std::vector<TMixingSource> t;
    for (const Bytes& s : sources) t.push_back({s.empty() ? nullptr : s.data(), uint32_t(s.size())});
    return t;
}

}  // namespace

TEST(ReverseSampleOrder, ReversesBytesOrSamplesAndSwapsChannels) {
    const tWAVEFORMATEX m8 = Pcm(Mono8Bit8000Hz), s16 = Pcm(Stereo16bit8000Hz);
    Bytes b{1, 2, 3, 4, 5};
    ASSERT_TRUE(ReverseSampleOrder(b.data(), uint32_t(b.size()), &m8));
    EXPECT_EQ(b, (Bytes{5, 4, 3, 2, 1}));

    // Two stereo frames (L1 R1)(L2 R2) become (R2 L2)(R1 L1).
    Bytes st = S16({100, -200, 300, -400});
    ASSERT_TRUE(ReverseSampleOrder(st.data(), uint32_t(st.size()), &s16));
    EXPECT_EQ(st, S16({-400, 300, -200, 100}));

    // A stray byte after the last whole 16-bit sample stays where it is.
    Bytes odd = S16({1, 2, 3});
    odd.push_back(0xEE);
    ASSERT_TRUE(ReverseSampleOrder(odd.data(), uint32_t(odd.size()), &s16));
    Bytes expect = S16({3, 2, 1});
    expect.push_back(0xEE);
    EXPECT_EQ(odd, expect);

    Bytes none;
    EXPECT_TRUE(ReverseSampleOrder(none.data(), 0, &m8));
}

TEST(ReverseSampleOrder, MatchesReferenceAtEverySizeAndAddress) {
    // Sizes around the word-wise path's steps, at even and odd addresses.
    const tWAVEFORMATEX m8 = Pcm(Mono8Bit8000Hz), m16 = Pcm(Mono16bit8000Hz);
    const Bytes src = Random(300, 7);
    for (size_t offset : {0, 1}) {
        for (size_t n = 0; n < 80; ++n) {
            Bytes b = src;
            ASSERT_TRUE(ReverseSampleOrder(b.data() + offset, uint32_t(n), &m8));
            Bytes expect = src;
            std::reverse(expect.begin() + long(offset), expect.begin() + long(offset + n));
            ASSERT_EQ(b, expect) << "8-bit n=" << n << " offset=" << offset;

            b = src;
            ASSERT_TRUE(ReverseSampleOrder(b.data() + offset, uint32_t(n), &m16));
            expect = src;
            for (size_t i = 0; i < n / 2; ++i) {
                expect[offset + 2 * i] = src[offset + 2 * (n / 2 - 1 - i)];
                expect[offset + 2 * i + 1] = src[offset + 2 * (n / 2 - 1 - i) + 1];
            }
            ASSERT_EQ(b, expect) << "16-bit n=" << n << " offset=" << offset;
        }
    }
    // Twice restores a large block.
    Bytes big = Random(1 << 20, 8);
    const Bytes orig = big;
    ASSERT_TRUE(ReverseSampleOrder(big.data(), uint32_t(big.size()), &m16));
    EXPECT_NE(big, orig);
    ASSERT_TRUE(ReverseSampleOrder(big.data(), uint32_t(big.size()), &m16));
    EXPECT_EQ(big, orig);
}

TEST(EditKernels, RejectOtherFormatsAndLeaveDataAlone) {
    const tWAVEFORMATEX alaw = Record(WAVE_FORMAT_ALAW, 8), pcm24 = Record(WAVE_FORMAT_PCM, 24),
                        flt = Record(WAVE_FORMAT_IEEE_FLOAT, 32), m16 = Pcm(Mono16bit8000Hz);
    const Bytes orig = Random(64, 3);
    for (const tWAVEFORMATEX* wf : {&alaw, &pcm24, &flt, static_cast<const tWAVEFORMATEX*>(nullptr)}) {
        Bytes b = orig;
        EXPECT_FALSE(ReverseSampleOrder(b.data(), uint32_t(b.size()), wf));
        EXPECT_FALSE(ScaleSampleValues(b.data(), uint32_t(b.size()), wf, 50));
        EXPECT_EQ(b, orig);
        Bytes out(64, 0xAB);
        const TMixingSource t[1] = {{orig.data(), 64}};
        EXPECT_FALSE(AverageSampleBuffers(t, 1, wf, 64, out.data()));
        EXPECT_EQ(out, Bytes(64, 0xAB));
    }
    Bytes out(4);
    EXPECT_FALSE(AverageSampleBuffers(nullptr, 0, &m16, 4, out.data()));
}

TEST(ScaleSampleValues, SixteenBitExamples) {
    const tWAVEFORMATEX m16 = Pcm(Mono16bit8000Hz);
    auto scaled = [&](std::initializer_list<int> in, int32_t percent) {
        Bytes b = S16(in);
        EXPECT_TRUE(ScaleSampleValues(b.data(), uint32_t(b.size()), &m16, percent));
        return b;
    };
    EXPECT_EQ(scaled({0, 1, -1, 12345, -32767}, 0), S16({0, 1, -1, 12345, -32767}));
    EXPECT_EQ(scaled({-32768}, 0), S16({-32767}));  // -32768 is never produced
    EXPECT_EQ(scaled({20000, -20000, 7}, 100), S16({32767, -32767, 14}));
    EXPECT_EQ(scaled({3, -3}, 50), S16({4, -4}));  // the added half truncates toward zero
    EXPECT_EQ(scaled({3, -3, 100}, -50), S16({2, -2, 50}));
    EXPECT_EQ(scaled({32767, -32768, 5}, -100), S16({0, 0, 0}));
    EXPECT_EQ(scaled({1000}, -300), S16({-2000}));  // past silence the sign turns
    // Products beyond 32 bits clip like any other value.
    EXPECT_EQ(scaled({1000, -1000, 0, 1}, 3000000), S16({32767, -32767, 0, 30001}));
    EXPECT_EQ(scaled({1000, -1000}, -3000000), S16({-32767, 32767}));
    EXPECT_EQ(scaled({-32768, 32767}, INT32_MIN), S16({32767, -32767}));
    EXPECT_EQ(scaled({1, -1}, INT32_MAX), S16({32767, -32767}));
}

TEST(ScaleSampleValues, EightBitExamples) {
    const tWAVEFORMATEX m8 = Pcm(Mono8Bit8000Hz);
    auto scaled = [&](Bytes b, int32_t percent) {
        EXPECT_TRUE(ScaleSampleValues(b.data(), uint32_t(b.size()), &m8, percent));
        return b;
    };
    EXPECT_EQ(scaled({0, 128, 255, 200}, 0), (Bytes{0, 128, 255, 200}));
    EXPECT_EQ(scaled({0, 128, 255, 7}, -100), (Bytes{128, 128, 128, 128}));
    EXPECT_EQ(scaled({200, 50, 131, 125}, 50), (Bytes{236, 11, 132, 124}));
    EXPECT_EQ(scaled({200, 50}, 100), (Bytes{255, 0}));
    EXPECT_EQ(scaled({129, 127}, 1000000), (Bytes{255, 0}));
    EXPECT_EQ(scaled({129, 127}, -1000000), (Bytes{0, 255}));
}

TEST(ScaleSampleValues, LargeBlocksMatchTheFormula) {
    // Blocks beyond the size where lookup tables take over, at an odd
    // address, with a stray odd byte for 16 bits.
    const Bytes src = Random((1 << 19) + 3, 11);
    for (TPCMFormat f : {Mono8Bit8000Hz, Stereo16bit44100Hz}) {
        const tWAVEFORMATEX wf = Pcm(f);
        for (int32_t percent : {0, -100, -37, 13, 250, 70000, -1000000}) {
            Bytes b = src;
            ASSERT_TRUE(ScaleSampleValues(b.data() + 1, uint32_t(b.size() - 1), &wf, percent));
            Bytes tail(src.begin() + 1, src.end());
            tail = ReferenceScale(tail, wf.wBitsPerSample, percent);
            ASSERT_EQ(b[0], src[0]);
            ASSERT_TRUE(std::equal(tail.begin(), tail.end(), b.begin() + 1))
                << "bits " << wf.wBitsPerSample << " percent " << percent;
        }
    }
    // Small blocks of every length take the direct path.
    const tWAVEFORMATEX m16 = Pcm(Mono16bit8000Hz);
    for (size_t n = 0; n < 70; ++n) {
        Bytes b(src.begin(), src.begin() + long(n));
        ASSERT_TRUE(ScaleSampleValues(b.data(), uint32_t(n), &m16, -37));
        ASSERT_EQ(b, ReferenceScale(Bytes(src.begin(), src.begin() + long(n)), 16, -37)) << n;
    }
}

TEST(AverageSampleBuffers, LongerSourceContinuesWithHalvedSamples) {
    // 1000 bytes and 600 bytes of 16-bit samples: 300 averaged sums, then
    // 200 halves of the longer source's samples.
    const tWAVEFORMATEX m16 = Pcm(Mono16bit8000Hz);
    Bytes a, b;
    for (int i = 0; i < 500; ++i) a.insert(a.end(), {uint8_t((i * 7) & 0xFF), uint8_t(((i * 7) >> 8) - 3)});
    for (int i = 0; i < 300; ++i) b.insert(b.end(), {uint8_t(i * 13), uint8_t(i)});
    const std::vector<Bytes> sources{a, b};
    const auto table = Table(sources);
    Bytes out(1000, 0xCD);
    ASSERT_TRUE(AverageSampleBuffers(table.data(), 2, &m16, 1000, out.data()));
    for (size_t i = 0; i < 500; ++i) {
        const int sum = SampleAt(a, i) + (i < 300 ? SampleAt(b, i) : 0);
        ASSERT_EQ(SampleAt(out, i), sum / 2) << i;
    }
    // Negative odd sums truncate toward zero.
    const std::vector<Bytes> neg{S16({-3, -32768, 32767}), S16({0, -32768, 32767})};
    const auto t2 = Table(neg);
    Bytes o2(6);
    ASSERT_TRUE(AverageSampleBuffers(t2.data(), 2, &m16, 6, o2.data()));
    EXPECT_EQ(o2, S16({-1, -32768, 32767}));
}

TEST(AverageSampleBuffers, EightBitEndedAndEmptySourcesCountAsSilence) {
    const tWAVEFORMATEX m8 = Pcm(Mono8Bit8000Hz);
    // Three sources, one of them empty: every output is (sum) / 3, where a
    // source that has ended adds 128.
    const std::vector<Bytes> sources{{255, 0, 10, 200}, {255, 0}, {}};
    const auto table = Table(sources);
    Bytes out(4);
    ASSERT_TRUE(AverageSampleBuffers(table.data(), 3, &m8, 4, out.data()));
    EXPECT_EQ(out, (Bytes{(255 + 255 + 128) / 3, (0 + 0 + 128) / 3, (10 + 128 + 128) / 3, (200 + 256) / 3}));
}

TEST(AverageSampleBuffers, MatchesReferenceForManySourcesAndSizes) {
    std::mt19937 rng(5);
    for (TPCMFormat f : {Mono8Bit8000Hz, Mono16bit8000Hz}) {
        const tWAVEFORMATEX wf = Pcm(f);
        for (int round = 0; round < 300; ++round) {
            const int count = 1 + int(rng() % 6);
            std::vector<Bytes> sources;
            size_t longest = 0;
            for (int k = 0; k < count; ++k) {
                sources.push_back(Random(rng() % 400, rng()));
                longest = std::max(longest, sources.back().size());
            }
            const auto table = Table(sources);
            Bytes out(longest, 0xAA);
            ASSERT_TRUE(AverageSampleBuffers(table.data(), count, &wf, uint32_t(longest), out.data()));
            // An odd 16-bit output ends in a zero byte.
            ASSERT_EQ(out, ReferenceAverage(sources, wf.wBitsPerSample, longest)) << round;
        }
    }
}

TEST(AverageSampleBuffers, SumsOfManySourcesStayExact) {
    // Enough full-scale sources to leave single precision and 32 bits, and
    // mixes whose quotients lie just beside whole numbers.
    const tWAVEFORMATEX m16 = Pcm(Mono16bit8000Hz);
    const Bytes top = S16({32767, -32768, 32767, -32768}), low = S16({32766, -32767, -1, 1});
    for (int count : {3, 511, 512, 513, 70000}) {
        std::vector<Bytes> sources(size_t(count), top);
        sources.back() = low;
        const auto table = Table(sources);
        Bytes out(8);
        ASSERT_TRUE(AverageSampleBuffers(table.data(), count, &m16, 8, out.data()));
        EXPECT_EQ(out, ReferenceAverage(sources, 16, 8)) << count;
    }
}

TEST(AverageSampleBuffers, TwoSourcesMatchTheSumHalvedForEverySampleValue) {
    // Every 16-bit value meets several partners (the two-source mix takes a
    // path of its own), and every pair of byte values.
    const tWAVEFORMATEX m16 = Pcm(Mono16bit8000Hz), m8 = Pcm(Mono8Bit8000Hz);
    for (uint32_t mul : {1u, 40503u, 65535u, 257u}) {
        Bytes a(2 * 65536), b(2 * 65536);
        for (uint32_t i = 0; i < 65536; ++i) {
            const uint16_t x = uint16_t(i), y = uint16_t(i * mul + 12345);
            std::memcpy(&a[2 * i], &x, 2);
            std::memcpy(&b[2 * i], &y, 2);
        }
        const std::vector<Bytes> sources{a, b};
        const auto table = Table(sources);
        Bytes out(a.size());
        ASSERT_TRUE(AverageSampleBuffers(table.data(), 2, &m16, uint32_t(out.size()), out.data()));
        ASSERT_EQ(out, ReferenceAverage(sources, 16, out.size())) << mul;
    }
    Bytes a(65536), b(65536);
    for (uint32_t i = 0; i < 65536; ++i) {
        a[i] = uint8_t(i);
        b[i] = uint8_t(i >> 8);
    }
    const std::vector<Bytes> sources{a, b};
    const auto table = Table(sources);
    Bytes out(a.size());
    ASSERT_TRUE(AverageSampleBuffers(table.data(), 2, &m8, uint32_t(out.size()), out.data()));
    EXPECT_EQ(out, ReferenceAverage(sources, 8, out.size()));
}
