// Editing operations of the wave stream adapter: exact data after each
// operation on small 8- and 16-bit images, ranges at and past the ends,
// events, failures that must leave the content alone, and clean-up when a
// stream fails or an event handler raises.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "WaveTestSupport.h"
#include "tests/support/WaveSupport.h"
#include "wave/WaveStorage.h"

using namespace orvant;
using testsupport::Pcm;
using Events = testsupport::TAdapterEvents;
using wavetest::Bytes;

namespace {

// Exposes how many pointers into its memory stream are still handed out.
class TProbeAdapter : public TWaveStreamAdapter {
public:
    using TWaveStreamAdapter::TWaveStreamAdapter;
    size_t OpenDirectBlocks() const { return fDirectBlocks.size(); }
};

using Wave = std::unique_ptr<TProbeAdapter>;

tWAVEFORMATEX ALaw() {
    tWAVEFORMATEX wf{};
    wf.wFormatTag = WAVE_FORMAT_ALAW;
    wf.nChannels = 1;
    wf.nSamplesPerSec = 8000;
    wf.nAvgBytesPerSec = 8000;
    wf.nBlockAlign = 1;
    wf.wBitsPerSample = 8;
    return wf;
}

Bytes S16(std::initializer_list<int> samples) {
    Bytes b;
    for (int s : samples) b.insert(b.end(), {uint8_t(s & 0xFF), uint8_t((s >> 8) & 0xFF)});
    return b;
}

Bytes Ramp(size_t n, int step = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * size_t(step));
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) { return wavetest::Concat(parts); }

Bytes Slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + long(from), b.begin() + long(to)); }

// Writes an image over stream through an adapter.
void WriteImage(TStream* stream, const tWAVEFORMATEX& wf, const Bytes& data) {
    TWaveStreamAdapter w(stream, soReference);
    ASSERT_TRUE(w.BeginRewrite(&wf));
    if (!data.empty()) {
        ASSERT_EQ(w.Write(data.data(), int32_t(data.size())), int32_t(data.size()));
    }
    ASSERT_TRUE(w.EndRewrite());
}

// A memory-held image owned by its adapter.
Wave MakeWave(const tWAVEFORMATEX& wf, const Bytes& data) {
    auto* ms = new TMemoryStream;
    WriteImage(ms, wf, data);
    return std::make_unique<TProbeAdapter>(ms, soOwned);
}
Wave MakeWave(TPCMFormat f, const Bytes& data) { return MakeWave(Pcm(f), data); }

// The adapter's data bytes as the stream holds them.
Bytes DataOf(TWaveStreamAdapter& w) {
    if (!w.Valid()) return {};
    const Bytes all = wavetest::StreamBytes(*w.Stream());
    return Slice(all, w.DataOffset(), std::min<size_t>(all.size(), size_t(w.DataOffset()) + w.DataSize()));
}

// A stream that is no TMemoryStream (so the adapter hands out copies), and
// that can be told to fail writes or to raise from them.
class TTestStream : public TStream {
public:
    enum TFault { fNone, fFailWrites, fRaiseOnWrite };
    TFault Fault = fNone;
    int64_t WritesAllowed = 0;  // bytes written before the fault takes effect

    int32_t Read(void* buffer, int32_t count) override { return fMem.Read(buffer, count); }
    int32_t Write(const void* buffer, int32_t count) override {
        if (Fault != fNone) {
            if (WritesAllowed < count) {
                if (Fault == fRaiseOnWrite) throw EWriteError("write refused");
                return -1;
            }
            WritesAllowed -= count;
        }
        return fMem.Write(buffer, count);
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override { return fMem.Seek(offset, origin); }
    int64_t Size() override { return fMem.Size(); }
    void SetSize(int64_t newSize) override { fMem.SetSize(newSize); }

private:
    TMemoryStream fMem;
};

}  // namespace

// ------------------------------------------------------------ in place

TEST(EditInPlace, InvertReversesSamplesAndExchangesChannels) {
    Wave m8 = MakeWave(Mono8Bit8000Hz, {1, 2, 3, 4, 5});
    Wave s8 = MakeWave(Stereo8bit8000Hz, {10, 20, 11, 21, 12, 22});
    Wave m16 = MakeWave(Mono16bit8000Hz, S16({1, -2, 3}));
    Wave s16 = MakeWave(Stereo16bit22050Hz, S16({100, -100, 200, -200}));
    for (TProbeAdapter* w : {m8.get(), s8.get(), m16.get(), s16.get()}) {
        ASSERT_TRUE(w->Valid());
        Events ev;
        ev.Attach(*w);
        ASSERT_TRUE(w->Invert());
        EXPECT_EQ(ev.changing + ev.change, 0);  // size and format are unchanged
        EXPECT_EQ(w->OpenDirectBlocks(), 0u);
    }
    EXPECT_EQ(DataOf(*m8), (Bytes{5, 4, 3, 2, 1}));
    EXPECT_EQ(DataOf(*s8), (Bytes{22, 12, 21, 11, 20, 10}));
    EXPECT_EQ(DataOf(*m16), S16({3, -2, 1}));
    EXPECT_EQ(DataOf(*s16), S16({-200, 200, -100, 100}));
    ASSERT_TRUE(s16->Invert());
    EXPECT_EQ(DataOf(*s16), S16({100, -100, 200, -200}));
}

TEST(EditInPlace, ChangeVolumeScalesEightAndSixteenBit) {
    Wave m8 = MakeWave(Mono8Bit8000Hz, {200, 50, 128, 0});
    Wave s16 = MakeWave(Stereo16bit8000Hz, S16({20000, -20000, 3, -3}));
    ASSERT_TRUE(s16->Valid());
    Events ev;
    ev.Attach(*s16);
    ASSERT_TRUE(m8->ChangeVolume(-50));
    EXPECT_EQ(DataOf(*m8), (Bytes{164, 89, 128, 64}));
    ASSERT_TRUE(s16->ChangeVolume(100));
    EXPECT_EQ(DataOf(*s16), S16({32767, -32767, 6, -6}));
    ASSERT_TRUE(s16->ChangeVolume(-100));
    EXPECT_EQ(DataOf(*s16), S16({0, 0, 0, 0}));
    EXPECT_EQ(ev.changing + ev.change, 0);
}

TEST(EditInPlace, FileStreamCopiesAreWrittenBack) {
    wavetest::TempDir dir;
    const std::string path = dir / "take.wav";
    {
        TFileStream f(path, fmCreate);
        WriteImage(&f, Pcm(Mono16bit8000Hz), S16({1, 2, 3, -4}));
    }
    {
        TWaveStreamAdapter w(new TFileStream(path, fmOpenReadWrite | fmShareExclusive), soOwned);
        ASSERT_TRUE(w.Invert());
        ASSERT_TRUE(w.ChangeVolume(100));
    }
    TMemoryStream ms;
    ms.LoadFromFile(path);
    TWaveStreamAdapter r(&ms);
    EXPECT_EQ(DataOf(r), S16({-8, 6, 4, 2}));
}

TEST(EditInPlace, OtherFormatsAndMissingDataFail) {
    Wave alaw = MakeWave(ALaw(), {1, 2, 3, 4});
    const Bytes before = wavetest::StreamBytes(*alaw->Stream());
    EXPECT_FALSE(alaw->Invert());
    EXPECT_FALSE(alaw->ChangeVolume(50));
    EXPECT_EQ(wavetest::StreamBytes(*alaw->Stream()), before);
    EXPECT_EQ(alaw->OpenDirectBlocks(), 0u);

    Wave empty = MakeWave(Mono16bit8000Hz, {});
    EXPECT_FALSE(empty->Invert());
    EXPECT_FALSE(empty->ChangeVolume(10));
    TMemoryStream nothing;
    TWaveStreamAdapter invalid(&nothing);
    EXPECT_FALSE(invalid.Invert());
    EXPECT_FALSE(invalid.ChangeVolume(10));
}

TEST(EditInPlace, CropCutsTrailingBytesButNeverExtends) {
    using namespace wavetest;
    // A foreign file: odd data with its pad byte, then a LIST chunk.
    const Bytes image =
        RiffWave(Cat({Chunk("fmt ", PcmFmt(1, 8000, 8)), Chunk("data", {1, 2, 3}), Chunk("LIST", Bytes(10, 7))}));
    TMemoryStream ms;
    ms.Write(image.data(), int32_t(image.size()));
    TWaveStreamAdapter w(&ms);
    ASSERT_TRUE(w.Valid());
    Events ev;
    ev.Attach(w);
    w.Crop();
    EXPECT_EQ(ms.Size(), int64_t(w.DataOffset()) + 3);
    EXPECT_EQ(DataOf(w), (Bytes{1, 2, 3}));
    EXPECT_EQ(ev.changing + ev.change, 0);

    // A data chunk claiming more than the file holds stays as it is.
    const Bytes cut = RiffWave(Cat({Chunk("fmt ", PcmFmt(1, 8000, 8)), Chunk("data", {1, 2, 3, 4}, 100)}));
    TMemoryStream ms2;
    ms2.Write(cut.data(), int32_t(cut.size()));
    TWaveStreamAdapter w2(&ms2);
    w2.Crop();
    EXPECT_EQ(StreamBytes(ms2), cut);

    // Nothing while a rewrite is open, nor on an invalid image.
    TWaveStreamAdapter w3(&ms);
    ASSERT_TRUE(w3.BeginRewritePCM(Mono8Bit8000Hz));
    ASSERT_EQ(w3.Write("\x05\x06", 2), 2);
    w3.Crop();
    EXPECT_EQ(ms.Size(), 48);
    ASSERT_TRUE(w3.EndRewrite());
    TMemoryStream junk;
    junk.Write("not a wave", 10);
    TWaveStreamAdapter w4(&junk);
    w4.Crop();
    EXPECT_EQ(junk.Size(), 10);
}

// ------------------------------------------------------------ ranges

TEST(EditRanges, CopyTakesRangeInSourceFormat) {
    // Mono16bit8000Hz: 16 bytes per millisecond.
    const Bytes data = Ramp(160);  // 10 ms
    Wave src = MakeWave(Mono16bit8000Hz, data);
    Wave dst = MakeWave(Stereo8bit11025Hz, {1, 2, 3, 4});
    ASSERT_TRUE(dst->Valid());
    Events ev;
    ev.Attach(*dst);
    ASSERT_TRUE(dst->Copy(src.get(), 2, 3));
    EXPECT_EQ(ev.changing, 1);
    EXPECT_EQ(ev.change, 1);
    EXPECT_EQ(dst->PCMFormat(), Mono16bit8000Hz);
    EXPECT_EQ(DataOf(*dst), Slice(data, 32, 80));
    EXPECT_EQ(dst->Stream()->Size(), 46 + 48);

    // A length past the end (also one whose conversion overflows) stops at it.
    ASSERT_TRUE(dst->Copy(src.get(), 7, 100));
    EXPECT_EQ(DataOf(*dst), Slice(data, 112, 160));
    ASSERT_TRUE(dst->Copy(src.get(), 9, 0xFFFFFFFFu));
    EXPECT_EQ(DataOf(*dst), Slice(data, 144, 160));

    // Pos at the length, Len 0, an invalid source: False, content unchanged.
    const Bytes before = wavetest::StreamBytes(*dst->Stream());
    EXPECT_FALSE(dst->Copy(src.get(), 10, 1));
    EXPECT_FALSE(dst->Copy(src.get(), 0, 0));
    TMemoryStream nothing;
    TWaveStreamAdapter invalid(&nothing);
    EXPECT_FALSE(dst->Copy(&invalid, 0, 1));
    EXPECT_FALSE(dst->Copy(nullptr, 0, 1));
    EXPECT_EQ(wavetest::StreamBytes(*dst->Stream()), before);
    EXPECT_EQ(src->OpenDirectBlocks(), 0u);
    EXPECT_EQ(DataOf(*src), data);
}

TEST(EditRanges, CopyFromItselfOrItsOwnStreamActsLikeSub) {
    const Bytes data = Ramp(160);
    Wave w = MakeWave(Mono16bit8000Hz, data);
    ASSERT_TRUE(w->Copy(w.get(), 1, 2));
    EXPECT_EQ(DataOf(*w), Slice(data, 16, 48));
    // A second adapter over the same stream.
    TWaveStreamAdapter twin(w->Stream());
    ASSERT_TRUE(w->Copy(&twin, 1, 1));
    EXPECT_EQ(DataOf(*w), Slice(data, 32, 48));
    EXPECT_EQ(w->OpenDirectBlocks(), 0u);
}

TEST(EditRanges, SubKeepsOnlyTheRange) {
    const Bytes data = Ramp(44, 3);  // Stereo8bit11025Hz: 22 bytes per ms, so 2 ms
    Wave w = MakeWave(Stereo8bit11025Hz, data);
    ASSERT_TRUE(w->Sub(1, 5));
    EXPECT_EQ(DataOf(*w), Slice(data, 22, 44));
    EXPECT_EQ(w->PCMFormat(), Stereo8bit11025Hz);
    EXPECT_FALSE(w->Sub(1, 1));  // Pos at the length
    EXPECT_EQ(DataOf(*w), Slice(data, 22, 44));
}

TEST(EditRanges, DeleteRemovesTheRange) {
    const Bytes data = Ramp(80);  // Mono8Bit8000Hz: 8 bytes per ms, 10 ms
    Wave w = MakeWave(Mono8Bit8000Hz, data);
    ASSERT_TRUE(w->Valid());
    Events ev;
    ev.Attach(*w);
    ASSERT_TRUE(w->Delete(2, 3));
    EXPECT_EQ(ev.changing, 1);
    EXPECT_EQ(ev.change, 1);
    EXPECT_EQ(DataOf(*w), Cat({Slice(data, 0, 16), Slice(data, 40, 80)}));
    ASSERT_TRUE(w->Delete(5, 100));  // to the end
    EXPECT_EQ(DataOf(*w), Cat({Slice(data, 0, 16), Slice(data, 40, 64)}));
    EXPECT_FALSE(w->Delete(5, 1));  // Pos at the length
    EXPECT_FALSE(w->Delete(0, 0));
    EXPECT_EQ(w->DataSize(), 40u);

    // Deleting everything leaves a valid image without data and says False.
    EXPECT_FALSE(w->Delete(0, w->Length()));
    EXPECT_TRUE(w->Valid());
    EXPECT_EQ(w->DataSize(), 0u);
    EXPECT_EQ(w->Stream()->Size(), 46);
    EXPECT_EQ(w->OpenDirectBlocks(), 0u);
}

TEST(EditRanges, TrimStartAndTrimEnd) {
    const Bytes data = Ramp(160);  // Mono16bit8000Hz, 10 ms
    Wave w = MakeWave(Mono16bit8000Hz, data);
    ASSERT_TRUE(w->TrimStart(2));
    EXPECT_EQ(DataOf(*w), Slice(data, 32, 160));
    ASSERT_TRUE(w->TrimEnd(3));
    EXPECT_EQ(DataOf(*w), Slice(data, 32, 112));
    EXPECT_FALSE(w->TrimEnd(0));
    EXPECT_EQ(w->DataSize(), 80u);
    EXPECT_FALSE(w->TrimEnd(1000));  // at least the whole length: everything goes
    EXPECT_TRUE(w->Valid());
    EXPECT_EQ(w->DataSize(), 0u);
    EXPECT_FALSE(w->TrimStart(1));

    // 1010 bytes are 63 ms (63.125 rounded); trimming cuts through to the
    // last byte although whole milliseconds of blocks do not reach it.
    const Bytes odd = Ramp(1010);
    Wave v = MakeWave(Mono16bit8000Hz, odd);
    ASSERT_EQ(v->Length(), 63u);
    ASSERT_TRUE(v->TrimEnd(10));
    EXPECT_EQ(DataOf(*v), Slice(odd, 0, 848));
    Wave all = MakeWave(Mono16bit8000Hz, odd);
    EXPECT_FALSE(all->TrimEnd(63));
    EXPECT_EQ(all->DataSize(), 0u);
}

TEST(EditRanges, InsertAnotherAdapterOrItself) {
    const Bytes a = Ramp(40), b = Ramp(16, 5);  // Mono8Bit8000Hz: 8 bytes per ms
    Wave w = MakeWave(Mono8Bit8000Hz, a);
    Wave ins = MakeWave(Mono8Bit8000Hz, b);
    ASSERT_TRUE(w->Insert(2, ins.get()));
    EXPECT_EQ(DataOf(*w), Cat({Slice(a, 0, 16), b, Slice(a, 16, 40)}));
    ASSERT_TRUE(w->Insert(1000, ins.get()));  // past the end: appends
    EXPECT_EQ(DataOf(*w), Cat({Slice(a, 0, 16), b, Slice(a, 16, 40), b}));

    Wave self = MakeWave(Stereo16bit8000Hz, S16({1, 2, 3, 4}));  // 2 frames
    ASSERT_TRUE(self->Insert(0, self.get()));
    EXPECT_EQ(DataOf(*self), S16({1, 2, 3, 4, 1, 2, 3, 4}));
    EXPECT_EQ(self->OpenDirectBlocks(), 0u);
    EXPECT_EQ(ins->OpenDirectBlocks(), 0u);
}

TEST(EditRanges, InsertNeedsSameFormatAndDataOnBothSides) {
    Wave w = MakeWave(Mono8Bit8000Hz, Ramp(8));
    Wave other = MakeWave(Mono16bit8000Hz, Ramp(8));
    Wave empty = MakeWave(Mono8Bit8000Hz, {});
    const Bytes before = wavetest::StreamBytes(*w->Stream());
    EXPECT_FALSE(w->Insert(0, other.get()));
    EXPECT_FALSE(w->Insert(0, empty.get()));
    EXPECT_FALSE(w->Insert(0, nullptr));
    EXPECT_FALSE(empty->Insert(0, w.get()));
    EXPECT_EQ(wavetest::StreamBytes(*w->Stream()), before);
    EXPECT_EQ(empty->DataSize(), 0u);
    EXPECT_EQ(w->OpenDirectBlocks(), 0u);
}

TEST(EditRanges, InsertSilenceWritesTheZeroLevel) {
    Wave m16 = MakeWave(Mono16bit8000Hz, S16({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    ASSERT_TRUE(m16->InsertSilence(1, 1));  // 16 bytes at byte 16
    EXPECT_EQ(DataOf(*m16), Cat({S16({1, 2, 3, 4, 5, 6, 7, 8}), Bytes(16, 0), S16({9, 10, 11, 12, 13, 14, 15, 16})}));

    Wave s8 = MakeWave(Stereo8bit8000Hz, Ramp(32));  // 16 bytes per ms
    ASSERT_TRUE(s8->InsertSilence(100, 1));  // past the end: appended
    EXPECT_EQ(DataOf(*s8), Cat({Ramp(32), Bytes(16, 128)}));

    // Less than one block inserts nothing but still rewrites; no data to
    // insert into, or no length: False.
    tWAVEFORMATEX sparse = Pcm(Mono8Bit8000Hz);
    sparse.nSamplesPerSec = 100;
    sparse.nAvgBytesPerSec = 100;  // a tenth of a byte per ms
    Wave few = MakeWave(sparse, {9, 8, 7});
    ASSERT_TRUE(few->InsertSilence(0, 4));
    EXPECT_EQ(DataOf(*few), (Bytes{9, 8, 7}));
    EXPECT_FALSE(few->InsertSilence(0, 0));
    Wave empty = MakeWave(Mono8Bit8000Hz, {});
    EXPECT_FALSE(empty->InsertSilence(0, 1));
    EXPECT_EQ(empty->DataSize(), 0u);

    // A byte count that overflows, or a format without silence: unchanged.
    const Bytes before = wavetest::StreamBytes(*m16->Stream());
    EXPECT_FALSE(m16->InsertSilence(0, 0xFFFFFFFFu));
    EXPECT_EQ(wavetest::StreamBytes(*m16->Stream()), before);
    Wave alaw = MakeWave(ALaw(), {1, 2});
    const Bytes alawBefore = wavetest::StreamBytes(*alaw->Stream());
    EXPECT_FALSE(alaw->InsertSilence(0, 1));
    EXPECT_EQ(wavetest::StreamBytes(*alaw->Stream()), alawBefore);
}

// ------------------------------------------------------------ several sources

TEST(EditSources, ConcatPutsSilentGapsBetweenSources) {
    const Bytes a = Ramp(32), b = Ramp(16, 3), c = Ramp(48, 7);
    Wave s1 = MakeWave(Mono16bit8000Hz, a), s2 = MakeWave(Mono16bit8000Hz, b), s3 = MakeWave(Mono16bit8000Hz, c);
    Wave dst = MakeWave(Mono8Bit8000Hz, {1});
    ASSERT_TRUE(dst->Valid());
    Events ev;
    ev.Attach(*dst);
    ASSERT_TRUE(dst->Concat({s1.get(), s2.get(), s3.get()}, 100));
    EXPECT_EQ(ev.changing, 1);
    EXPECT_EQ(ev.change, 1);
    EXPECT_EQ(dst->PCMFormat(), Mono16bit8000Hz);
    EXPECT_EQ(DataOf(*dst), Cat({a, Bytes(1600, 0), b, Bytes(1600, 0), c}));

    // 8 bits: the gap is 128s; a single source gets no gap.
    Wave e1 = MakeWave(Mono8Bit8000Hz, {1, 2}), e2 = MakeWave(Mono8Bit8000Hz, {3});
    ASSERT_TRUE(dst->Concat({e1.get(), e2.get()}, 1));
    EXPECT_EQ(DataOf(*dst), (Bytes{1, 2, 128, 128, 128, 128, 128, 128, 128, 128, 3}));
    ASSERT_TRUE(dst->Concat({e1.get()}, 1000));
    EXPECT_EQ(DataOf(*dst), (Bytes{1, 2}));
    for (TProbeAdapter* w : {s1.get(), s2.get(), s3.get(), e1.get(), e2.get()}) EXPECT_EQ(w->OpenDirectBlocks(), 0u);
}

TEST(EditSources, ConcatAppendsBytesAsTheyAreInTheFirstFormat) {
    // Formats are not compared; a format without silence gets no gap.
    Wave alaw = MakeWave(ALaw(), {0xD5, 0x55});
    Wave pcm = MakeWave(Mono16bit8000Hz, S16({-1}));
    Wave dst = MakeWave(Mono8Bit8000Hz, {});
    ASSERT_TRUE(dst->Concat({alaw.get(), pcm.get()}, 50));
    ASSERT_TRUE(dst->Valid());
    EXPECT_EQ(dst->WaveFormat()->wFormatTag, WAVE_FORMAT_ALAW);
    EXPECT_EQ(DataOf(*dst), (Bytes{0xD5, 0x55, 0xFF, 0xFF}));
}

TEST(EditSources, ConcatFailures) {
    Wave s1 = MakeWave(Mono8Bit8000Hz, {1, 2, 3});
    Wave empty = MakeWave(Mono8Bit8000Hz, {});
    Wave s3 = MakeWave(Mono8Bit8000Hz, {4});
    TMemoryStream nothing;
    TWaveStreamAdapter invalid(&nothing);
    Wave dst = MakeWave(Mono8Bit8000Hz, {9, 9});
    const Bytes before = wavetest::StreamBytes(*dst->Stream());
    EXPECT_FALSE(dst->Concat({}, 0));
    EXPECT_FALSE(dst->Concat({&invalid, s1.get()}, 0));
    EXPECT_FALSE(dst->Concat({nullptr}, 0));
    EXPECT_EQ(wavetest::StreamBytes(*dst->Stream()), before);
    // A gap whose byte count overflows: nothing is written.
    EXPECT_FALSE(dst->Concat({s1.get(), s3.get()}, 0xFFFFFFFFu));
    EXPECT_EQ(wavetest::StreamBytes(*dst->Stream()), before);

    // A source without data ends the rewrite there: the image holds what
    // came before it, gap included.
    EXPECT_FALSE(dst->Concat({s1.get(), empty.get(), s3.get()}, 1));
    EXPECT_TRUE(dst->Valid());
    EXPECT_EQ(DataOf(*dst), (Bytes{1, 2, 3, 128, 128, 128, 128, 128, 128, 128, 128}));
    EXPECT_EQ(dst->State(), wssReady);
    EXPECT_EQ(s1->OpenDirectBlocks(), 0u);
}

TEST(EditSources, ConcatKeepsItsOwnDataWhenListedAsSource) {
    Wave w = MakeWave(Mono8Bit8000Hz, {1, 2});
    Wave other = MakeWave(Mono8Bit8000Hz, {3});
    ASSERT_TRUE(w->Concat({w.get(), other.get(), w.get()}, 0));
    EXPECT_EQ(DataOf(*w), (Bytes{1, 2, 3, 1, 2}));
    EXPECT_EQ(w->OpenDirectBlocks(), 0u);
}

TEST(EditSources, MixAveragesAndLetsShorterSourcesFallSilent) {
    // 1000 and 600 bytes of 16-bit samples: 300 averaged pairs, then 200
    // halved samples of the longer source.
    Bytes a, b;
    for (int i = 0; i < 500; ++i) a = Cat({a, S16({i * 61 - 15000})});
    for (int i = 0; i < 300; ++i) b = Cat({b, S16({-i * 97 + 3})});
    Wave s1 = MakeWave(Mono16bit8000Hz, a), s2 = MakeWave(Mono16bit8000Hz, b);
    Wave dst = MakeWave(Stereo8bit8000Hz, {5, 5});
    ASSERT_TRUE(dst->Valid());
    Events ev;
    ev.Attach(*dst);
    ASSERT_TRUE(dst->Mix({s1.get(), s2.get()}));
    EXPECT_EQ(ev.changing, 1);
    EXPECT_EQ(ev.change, 1);
    EXPECT_EQ(dst->PCMFormat(), Mono16bit8000Hz);
    Bytes expect;
    for (int i = 0; i < 500; ++i) expect = Cat({expect, S16({(i * 61 - 15000 + (i < 300 ? -i * 97 + 3 : 0)) / 2})});
    EXPECT_EQ(DataOf(*dst), expect);

    // 8 bits, three sources, one of them without data.
    Wave e1 = MakeWave(Stereo8bit8000Hz, {255, 0, 10, 20}), e2 = MakeWave(Stereo8bit8000Hz, {255, 0});
    Wave e3 = MakeWave(Stereo8bit8000Hz, {});
    ASSERT_TRUE(dst->Mix({e1.get(), e2.get(), e3.get()}));
    EXPECT_EQ(DataOf(*dst), (Bytes{212, 42, 88, 92}));
    for (TProbeAdapter* w : {s1.get(), s2.get(), e1.get(), e2.get(), e3.get()}) EXPECT_EQ(w->OpenDirectBlocks(), 0u);
}

TEST(EditSources, MixOfLargeSourcesEqualsTheWholeAverage) {
    // Sources longer than one output step, of different lengths.
    Bytes a(700001), b(300000), c(524289);
    for (size_t i = 0; i < a.size(); ++i) a[i] = uint8_t(i * 31 + (i >> 9));
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 17 + 3);
    for (size_t i = 0; i < c.size(); ++i) c[i] = uint8_t(i ^ (i >> 7));
    Wave s1 = MakeWave(Mono8bit22050Hz, a), s2 = MakeWave(Mono8bit22050Hz, b), s3 = MakeWave(Mono8bit22050Hz, c);
    Wave dst = MakeWave(Mono8bit22050Hz, {});
    ASSERT_TRUE(dst->Mix({s1.get(), s2.get(), s3.get()}));
    Bytes expect(a.size());
    const TMixingSource table[3] = {{a.data(), uint32_t(a.size())}, {b.data(), uint32_t(b.size())},
                                    {c.data(), uint32_t(c.size())}};
    const tWAVEFORMATEX wf = Pcm(Mono8bit22050Hz);
    ASSERT_TRUE(AverageSampleBuffers(table, 3, &wf, uint32_t(expect.size()), expect.data()));
    EXPECT_EQ(DataOf(*dst), expect);

    // With itself among the sources the mix reads its own data as it was.
    ASSERT_TRUE(s2->Mix({s2.get(), s1.get()}));
    const TMixingSource t2[2] = {{b.data(), uint32_t(b.size())}, {a.data(), uint32_t(a.size())}};
    ASSERT_TRUE(AverageSampleBuffers(t2, 2, &wf, uint32_t(expect.size()), expect.data()));
    EXPECT_EQ(DataOf(*s2), expect);
    EXPECT_EQ(s2->OpenDirectBlocks(), 0u);
}

TEST(EditSources, MixRefusesMismatchedOrUnmixableFormats) {
    Wave m16 = MakeWave(Mono16bit8000Hz, S16({1, 2}));
    Wave s16 = MakeWave(Stereo16bit8000Hz, S16({1, 2}));
    Wave m16b = MakeWave(Mono16bit8000Hz, S16({3}));
    Wave a1 = MakeWave(ALaw(), {1, 2}), a2 = MakeWave(ALaw(), {3});
    TMemoryStream nothing;
    TWaveStreamAdapter invalid(&nothing);
    Wave dst = MakeWave(Mono8Bit8000Hz, {7, 7, 7});
    ASSERT_TRUE(dst->Valid());
    Events ev;
    ev.Attach(*dst);
    const Bytes before = wavetest::StreamBytes(*dst->Stream());
    EXPECT_FALSE(dst->Mix({}));
    EXPECT_FALSE(dst->Mix({m16.get(), s16.get()}));
    EXPECT_FALSE(dst->Mix({m16.get(), m16b.get(), &invalid}));
    EXPECT_FALSE(dst->Mix({&invalid, m16.get()}));
    EXPECT_FALSE(dst->Mix({m16.get(), nullptr}));
    EXPECT_FALSE(dst->Mix({a1.get(), a2.get()}));
    EXPECT_EQ(wavetest::StreamBytes(*dst->Stream()), before);
    EXPECT_EQ(ev.changing + ev.change, 0);
    for (TProbeAdapter* w : {m16.get(), s16.get(), m16b.get(), a1.get(), a2.get()})
        EXPECT_EQ(w->OpenDirectBlocks(), 0u);
}

// ------------------------------------------------------------ failures and clean-up

TEST(EditFailures, InvalidAdapterFailsEveryOperation) {
    TMemoryStream nothing;
    TWaveStreamAdapter w(&nothing);
    Wave src = MakeWave(Mono8Bit8000Hz, {1, 2, 3});
    EXPECT_FALSE(w.Sub(0, 1));
    EXPECT_FALSE(w.Delete(0, 1));
    EXPECT_FALSE(w.Insert(0, src.get()));
    EXPECT_FALSE(w.InsertSilence(0, 1));
    EXPECT_FALSE(w.TrimStart(1));
    EXPECT_FALSE(w.TrimEnd(1));
    EXPECT_EQ(nothing.Size(), 0);
}

TEST(EditFailures, OpenReadOrRewriteBlocksRewritingOperations) {
    Wave src = MakeWave(Mono8Bit8000Hz, Ramp(16));
    Wave w = MakeWave(Mono8Bit8000Hz, Ramp(16, 2));
    const Bytes before = wavetest::StreamBytes(*w->Stream());
    ASSERT_TRUE(w->BeginRead());
    EXPECT_FALSE(w->Copy(src.get(), 0, 1));
    EXPECT_FALSE(w->Sub(0, 1));
    EXPECT_FALSE(w->Delete(0, 1));
    EXPECT_FALSE(w->Insert(0, src.get()));
    EXPECT_FALSE(w->InsertSilence(0, 1));
    EXPECT_FALSE(w->Concat({src.get()}, 0));
    EXPECT_FALSE(w->Mix({src.get()}));
    EXPECT_EQ(w->State(), wssReading);
    ASSERT_TRUE(w->EndRead());
    EXPECT_EQ(wavetest::StreamBytes(*w->Stream()), before);
    EXPECT_EQ(w->OpenDirectBlocks(), 0u);
    EXPECT_EQ(src->OpenDirectBlocks(), 0u);
}

TEST(EditFailures, FailingWritesAreReportedAndReleaseEverything) {
    // The copies come from a stream that is no memory stream; the sanitizer
    // build reports any that are not freed.
    for (auto fault : {TTestStream::fFailWrites, TTestStream::fRaiseOnWrite}) {
        auto* stream = new TTestStream;
        WriteImage(stream, Pcm(Mono8Bit8000Hz), Ramp(64));
        TWaveStreamAdapter w(stream, soOwned);
        auto* srcStream = new TTestStream;
        WriteImage(srcStream, Pcm(Mono8Bit8000Hz), Ramp(64, 3));
        TWaveStreamAdapter src(srcStream, soOwned);
        stream->Fault = fault;
        stream->WritesAllowed = 46 + 10;  // the header and ten data bytes
        EXPECT_FALSE(w.Delete(1, 1));
        stream->WritesAllowed = 46 + 10;
        EXPECT_FALSE(w.Copy(&src, 0, 5));
        stream->WritesAllowed = 46 + 10;
        EXPECT_FALSE(w.Mix({&src, &src}));
        stream->WritesAllowed = 46 + 10;
        EXPECT_FALSE(w.Concat({&src, &src}, 1));
        stream->WritesAllowed = 0;  // not even the header
        EXPECT_FALSE(w.InsertSilence(0, 1));
        EXPECT_EQ(w.State(), wssReady);

        // A write-back that fails makes the in-place edits fail.
        stream->Fault = TTestStream::fNone;
        WriteImage(stream, Pcm(Mono8Bit8000Hz), Ramp(64));
        w.Refresh();
        stream->Fault = fault;
        stream->WritesAllowed = 0;
        EXPECT_FALSE(w.Invert());
        EXPECT_FALSE(w.ChangeVolume(20));
        EXPECT_EQ(DataOf(w), Ramp(64));
    }
}

TEST(EditFailures, RaisingEventHandlersLeaveNoOpenRewriteOrBlock) {
    Wave src = MakeWave(Mono8Bit8000Hz, Ramp(40));
    Wave w = MakeWave(Mono8Bit8000Hz, Ramp(40, 2));
    ASSERT_TRUE(w->Valid());
    w->SetOnChanging([](TWaveStreamAdapter*) { throw std::runtime_error("changing"); });
    EXPECT_THROW(w->Delete(1, 1), std::runtime_error);
    EXPECT_EQ(w->State(), wssReady);
    EXPECT_EQ(w->OpenDirectBlocks(), 0u);
    w->SetOnChanging(nullptr);
    // The rewrite was ended: the image is whole (header and no data yet).
    EXPECT_TRUE(w->Valid());

    w->SetOnChange([](TWaveStreamAdapter*) { throw std::runtime_error("change"); });
    w->Refresh();
    EXPECT_THROW(w->Mix({src.get(), src.get()}), std::runtime_error);
    EXPECT_EQ(w->State(), wssReady);
    EXPECT_EQ(src->OpenDirectBlocks(), 0u);
    w->SetOnChange(nullptr);

    // A source whose parse raises, after blocks of earlier sources were
    // taken (copies, from a stream that is no memory stream).
    auto* plain = new TTestStream;
    WriteImage(plain, Pcm(Mono8Bit8000Hz), Ramp(8));
    TWaveStreamAdapter first(plain, soOwned);
    Wave second = MakeWave(Mono8Bit8000Hz, Ramp(8));
    second->SetOnChange([](TWaveStreamAdapter*) { throw std::runtime_error("source"); });
    second->Refresh();
    EXPECT_THROW(w->Mix({&first, second.get()}), std::runtime_error);
    second->Refresh();
    EXPECT_THROW(w->Concat({&first, second.get()}, 0), std::runtime_error);
    EXPECT_EQ(w->State(), wssReady);
    EXPECT_EQ(w->OpenDirectBlocks(), 0u);

    // A conversion whose rewrite raises, on a memory stream (its data block
    // handed out directly) and on another stream (a copy, which the leak
    // checker of the sanitizer build watches).
    auto* other = new TTestStream;
    WriteImage(other, Pcm(Mono8Bit8000Hz), Ramp(40));
    TWaveStreamAdapter onOther(other, soOwned);
    for (TWaveStreamAdapter* a : std::initializer_list<TWaveStreamAdapter*>{w.get(), &onOther}) {
        for (bool inChanging : {true, false}) {
            WriteImage(a->Stream(), Pcm(Mono8Bit8000Hz), Ramp(40));
            a->Refresh();
            ASSERT_TRUE(a->Valid());
            auto raise = [](TWaveStreamAdapter*) { throw std::runtime_error("handler"); };
            if (inChanging) a->SetOnChanging(raise);
            else a->SetOnChange(raise);
            EXPECT_THROW(a->ConvertToPCM(Mono16bit8000Hz), std::runtime_error);
            a->SetOnChanging(nullptr);
            a->SetOnChange(nullptr);
            EXPECT_EQ(a->State(), wssReady);
            EXPECT_TRUE(a->Valid());
        }
    }
    EXPECT_EQ(w->OpenDirectBlocks(), 0u);
}

TEST(EditFailures, EditedImageReadsBackWithPythonWave) {
    wavetest::TempDir dir;
    Wave a = MakeWave(Stereo16bit22050Hz, S16({1000, -1000, 2000, -2000}));
    Wave b = MakeWave(Stereo16bit22050Hz, S16({5, 6}));
    Wave w = MakeWave(Stereo16bit22050Hz, {});
    ASSERT_TRUE(w->Concat({a.get(), b.get()}, 1));  // 88 bytes of gap
    ASSERT_TRUE(w->Invert());
    const std::string path = dir / "edited.wav";
    w->SaveToFile(path);
    int status = 0;
    const std::string out = wavetest::RunCommand(
        "python3 -c \"import wave,sys; w=wave.open(sys.argv[1]); "
        "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes(), "
        "w.readframes(w.getnframes()).hex())\" " +
            path,
        &status);
    ASSERT_EQ(status, 0) << out;
    const Bytes data = Cat({S16({6, 5}), Bytes(88, 0), S16({-2000, 2000, -1000, 1000})});
    std::string hex;
    for (uint8_t x : data) {
        static const char* digits = "0123456789abcdef";
        hex += digits[x >> 4];
        hex += digits[x & 15];
    }
    EXPECT_EQ(out, "2 2 22050 " + std::to_string(data.size() / 4) + " " + hex + "\n");
}
