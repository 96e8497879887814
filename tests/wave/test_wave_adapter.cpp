// The wave stream adapter: details and events, rewrite and read, whole-data
// access, load/save/assign, ownership, and files checked by other readers.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <memory>

#include "WaveTestSupport.h"
#include "tests/support/WaveSupport.h"
#include "wave/WaveStorage.h"

using namespace orvant;
using Events = testsupport::TAdapterEvents;
using namespace wavetest;

namespace {

// Exposes the protected whole-data access.
class TProbe : public TWaveStreamAdapter {
public:
    using TWaveStreamAdapter::TWaveStreamAdapter;
    using TWaveStreamAdapter::AcquireData;
    using TWaveStreamAdapter::BytesForMs;
    using TWaveStreamAdapter::ReleaseData;
};

// A stream that says when it is destroyed.
class TWatchedStream : public TMemoryStream {
public:
    explicit TWatchedStream(bool* gone) : fGone(gone) {}
    ~TWatchedStream() override { *fGone = true; }

private:
    bool* fGone;
};

// A memory stream whose writes stop at a size limit, like a full disk.
class TFullDiskStream : public TMemoryStream {
public:
    int64_t limit = INT64_MAX;
    int32_t Write(const void* buffer, int32_t count) override {
        const int64_t room = limit - Position();
        if (room <= 0) return -1;
        return TMemoryStream::Write(buffer, int32_t(std::min<int64_t>(count, room)));
    }
};

Bytes Ramp(size_t n, uint8_t step = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * step);
    return b;
}

// Writes data as a complete image of format f through the adapter.
void Record(TWaveStreamAdapter& a, TPCMFormat f, const Bytes& data) {
    ASSERT_TRUE(a.BeginRewritePCM(f));
    ASSERT_EQ(a.Write(data.data(), int32_t(data.size())), int32_t(data.size()));
    ASSERT_TRUE(a.EndRewrite());
}

}  // namespace

TEST(Adapter, EmptyStreamHasNoDetails) {
    TMemoryStream ms;
    TWaveStreamAdapter a(&ms);
    EXPECT_FALSE(a.Valid());
    EXPECT_TRUE(a.Empty());
    EXPECT_EQ(a.DataSize(), 0u);
    EXPECT_EQ(a.DataOffset(), 0u);
    EXPECT_EQ(a.Length(), 0u);
    EXPECT_EQ(a.BitRate(), 0u);
    EXPECT_EQ(a.PeakLevel(), -1);
    EXPECT_EQ(a.Position(), -1);
    EXPECT_EQ(a.AudioFormat(), "");
    EXPECT_EQ(a.PCMFormat(), nonePCM);
    EXPECT_EQ(a.WaveFormat(), nullptr);
    EXPECT_FALSE(a.BeginRead());
    EXPECT_EQ(a.State(), wssReady);
    uint8_t b[4];
    EXPECT_EQ(a.Read(b, 4), -1);
    EXPECT_EQ(a.Write(b, 4), -1);
    EXPECT_FALSE(a.EndRead());
    EXPECT_FALSE(a.EndRewrite());
}

TEST(Adapter, RecordingThroughARewrite) {
    TMemoryStream ms;
    TWaveStreamAdapter a(&ms);
    Events ev;
    ev.Attach(a);
    ASSERT_TRUE(a.BeginRewritePCM(Mono16bit8000Hz));
    EXPECT_EQ(a.State(), wssWriting);
    EXPECT_EQ(a.Position(), 0);
    const Bytes data = Ramp(1000);
    EXPECT_EQ(a.Write(data.data(), 600), 600);
    EXPECT_EQ(a.Position(), 600);
    EXPECT_EQ(a.Write(data.data() + 600, 400), 400);
    EXPECT_FALSE(a.BeginRead());
    EXPECT_FALSE(a.BeginRewritePCM(Mono16bit8000Hz));
    ASSERT_TRUE(a.EndRewrite());
    EXPECT_EQ(ev.changing, 0);  // a new adapter's details are already stale
    EXPECT_EQ(ev.change, 1);
    EXPECT_EQ(a.DataOffset(), 46u);
    EXPECT_EQ(a.DataSize(), 1000u);
    EXPECT_EQ(a.Length(), 63u);
    EXPECT_EQ(a.BitRate(), 128u);
    EXPECT_EQ(a.PCMFormat(), Mono16bit8000Hz);
    EXPECT_EQ(a.AudioFormat(), "PCM: 8.000 kHz, 16 Bit, Mono");
    EXPECT_EQ(ms.Size(), 1046);
    EXPECT_EQ(ev.change, 1);  // the details stay fresh

    // A second rewrite over fresh details: OnChanging once, at its start.
    ASSERT_TRUE(a.BeginRewritePCM(Stereo8bit8000Hz));
    EXPECT_EQ(ev.changing, 1);
    EXPECT_FALSE(a.Valid());  // no parse while writing
    EXPECT_EQ(a.Write(data.data(), 10), 10);
    ASSERT_TRUE(a.EndRewrite());
    EXPECT_EQ(ev.changing, 1);
    EXPECT_EQ(ev.change, 2);
    EXPECT_EQ(a.DataSize(), 10u);
    EXPECT_EQ(ms.Size(), 56);  // the longer old image is cut
}

TEST(Adapter, RewriteRefusals) {
    TMemoryStream ms;
    TWaveStreamAdapter a(&ms);
    Record(a, Mono8bit22050Hz, Ramp(50));
    const Bytes before = StreamBytes(ms);
    EXPECT_FALSE(a.BeginRewritePCM(nonePCM));
    EXPECT_FALSE(a.BeginRewrite(nullptr));
    EXPECT_EQ(StreamBytes(ms), before);
    ASSERT_TRUE(a.BeginRead());
    EXPECT_FALSE(a.BeginRewritePCM(Mono8bit22050Hz));
    EXPECT_FALSE(a.BeginRead());
    EXPECT_EQ(StreamBytes(ms), before);
    EXPECT_TRUE(a.EndRead());
    EXPECT_FALSE(a.EndRead());
}

TEST(Adapter, OddLengthImageEndsAtItsLastDataByte) {
    TMemoryStream ms;
    TWaveStreamAdapter a(&ms);
    Record(a, Mono8Bit8000Hz, Ramp(11));
    EXPECT_EQ(ms.Size(), 46 + 11);
    const Bytes b = StreamBytes(ms);
    EXPECT_EQ(LE32(b, 4), 46u + 12 - 8);  // the RIFF size counts the pad byte
    TWaveStreamAdapter again(&ms);
    EXPECT_TRUE(again.Valid());
    EXPECT_EQ(again.DataSize(), 11u);
}

TEST(Adapter, ReadingAndPosition) {
    TMemoryStream ms;
    TWaveStreamAdapter a(&ms);
    const Bytes data = Ramp(1000, 3);
    Record(a, Stereo16bit22050Hz, data);
    EXPECT_EQ(a.Position(), -1);
    a.SetPosition(10);  // ignored while nothing is open
    ASSERT_TRUE(a.BeginRead());
    EXPECT_EQ(a.State(), wssReading);
    EXPECT_EQ(a.Position(), 0);
    Bytes buf(1000);
    ASSERT_EQ(a.Read(buf.data(), 100), 100);
    EXPECT_EQ(a.Position(), 100);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 100, data.begin()));
    a.SetPosition(880);
    EXPECT_EQ(a.Read(buf.data(), 1000), 120);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 120, data.begin() + 880));
    EXPECT_EQ(a.Read(buf.data(), 1000), 0);
    a.SetPosition(-1000);  // before the stream: refused, position kept
    EXPECT_EQ(a.Position(), 1000);
    // Parsing anew while reading uses a handle of its own.
    a.Refresh();
    a.SetPosition(4);
    EXPECT_EQ(a.DataSize(), 1000u);
    EXPECT_EQ(a.Read(buf.data(), 4), 4);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 4, data.begin() + 4));
    EXPECT_TRUE(a.EndRead());
    EXPECT_EQ(a.Position(), -1);
}

TEST(Adapter, ReadDoesNotStopAtTheDataChunk) {
    // A foreign file with a chunk after the data: its bytes are read as well.
    const Bytes data = Ramp(20);
    const Bytes tail = Chunk("LIST", Concat({Bytes{'I', 'N', 'F', 'O'}, Chunk("ICMT", Bytes{'x', 'y'})}));
    std::unique_ptr<TMemoryStream> ms(
        NewMemoryStream(RiffWave(Concat({Chunk("fmt ", PcmFmt(1, 8000, 8)), Chunk("data", data), tail}))));
    TWaveStreamAdapter a(ms.get());
    ASSERT_TRUE(a.BeginRead());
    Bytes buf(200);
    const int32_t n = a.Read(buf.data(), 200);
    ASSERT_EQ(n, int32_t(data.size() + tail.size()));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), buf.begin() + long(data.size())));
}

TEST(Adapter, DataBeyondTheStream) {
    // The header promises 4 GiB, the stream holds 20 bytes: valid, reads end
    // at the end of the stream, and the whole block is not available.
    Bytes img = RiffWave(Concat({Chunk("fmt ", PcmFmt(1, 8000, 16)), Chunk("data", Ramp(20), 0xFFFFFFF0LL)}));
    std::unique_ptr<TMemoryStream> ms(NewMemoryStream(img));
    TProbe a(ms.get());
    ASSERT_TRUE(a.Valid());
    EXPECT_EQ(a.DataSize(), 0xFFFFFFF0u);
    EXPECT_EQ(a.Length(), 268435455u);
    EXPECT_EQ(a.PeakLevel(), -1);
    void* p;
    EXPECT_FALSE(a.AcquireData(p, false));
    EXPECT_FALSE(a.AcquireData(p, true));
    EXPECT_EQ(p, nullptr);
    ASSERT_TRUE(a.BeginRead());
    Bytes buf(64);
    EXPECT_EQ(a.Read(buf.data(), 64), 20);
    EXPECT_EQ(a.Read(buf.data(), 64), 0);
    TProbe b(ms.get());
    EXPECT_FALSE(a.Equals(&b));  // same size stated, but no data to compare
}

TEST(Adapter, ChangeEventsOncePerCycle) {
    TMemoryStream ms, other;
    TWaveStreamAdapter a(&ms), src(&other);
    Record(src, Mono8bit44100Hz, Ramp(30));
    Record(a, Mono8bit44100Hz, Ramp(40));
    Events ev;
    ev.Attach(a);
    EXPECT_TRUE(a.Valid());  // fresh
    a.Clear();
    EXPECT_EQ(ms.Size(), 0);
    other.SetPosition(0);
    a.LoadFromStream(&other);
    EXPECT_EQ(ev.changing, 1);
    EXPECT_EQ(ev.change, 2);
    EXPECT_EQ(a.DataSize(), 30u);
    EXPECT_TRUE(a.Equals(&src));
    // Refresh parses again without an OnChanging.
    a.Refresh();
    EXPECT_TRUE(a.Valid());
    EXPECT_EQ(ev.changing, 1);
    EXPECT_EQ(ev.change, 3);
    // Clear on fresh details: OnChanging and OnChange, then a parse of the
    // empty stream fires OnChange once more.
    a.Clear();
    EXPECT_EQ(ev.changing, 2);
    EXPECT_EQ(ev.change, 4);
    EXPECT_FALSE(a.Valid());
    EXPECT_EQ(ev.change, 5);
}

TEST(Adapter, ComparisonOfFormatsAndData) {
    TMemoryStream m1, m2;
    TWaveStreamAdapter a(&m1), b(&m2);
    Record(a, Stereo16bit44100Hz, Ramp(400));
    Record(b, Stereo16bit44100Hz, Ramp(400));
    EXPECT_TRUE(a.SameFormat(&b));
    EXPECT_TRUE(a.Equals(&b));
    EXPECT_TRUE(a.Equals(&a));
    EXPECT_FALSE(a.Equals(nullptr));
    EXPECT_FALSE(a.SameWaveFormat(nullptr));

    // one data byte differs
    Bytes changed = Ramp(400);
    changed[399] ^= 1;
    Record(b, Stereo16bit44100Hz, changed);
    EXPECT_FALSE(a.Equals(&b));

    // equal formats without data are equal
    Record(a, Mono16bit8000Hz, {});
    Record(b, Mono16bit8000Hz, {});
    EXPECT_TRUE(a.Equals(&b));

    // formats that differ only in one extra byte
    Bytes rec(20, 0);
    auto* wf = reinterpret_cast<PWaveFormatEx>(rec.data());
    PCMFormatToWaveFormat(wf, Mono16bit8000Hz);
    wf->cbSize = 2;
    rec[18] = 1;
    ASSERT_TRUE(a.BeginRewrite(wf));
    a.EndRewrite();
    rec[19] = 1;
    ASSERT_TRUE(b.BeginRewrite(wf));
    b.EndRewrite();
    EXPECT_FALSE(a.SameFormat(&b));
    EXPECT_TRUE(b.SameWaveFormat(wf));
    EXPECT_FALSE(a.Equals(&b));

    // a file stream and a memory stream with the same image
    TempDir dir;
    {
        TFileStream f(dir / "x.wav", fmCreate);
        TWaveStreamAdapter onFile(&f);
        Record(onFile, Stereo8bit11025Hz, Ramp(333));
        Record(a, Stereo8bit11025Hz, Ramp(333));
        EXPECT_TRUE(onFile.Equals(&a));
        EXPECT_TRUE(a.Equals(&onFile));
    }
}

TEST(Adapter, WholeDataAccess) {
    TMemoryStream ms;
    TProbe a(&ms);
    Record(a, Mono16bit11025Hz, Ramp(100));
    void* p;
    ASSERT_TRUE(a.AcquireData(p, false));
    EXPECT_EQ(p, static_cast<uint8_t*>(ms.Memory()) + 46);  // in place
    static_cast<uint8_t*>(p)[0] = 0xAA;
    EXPECT_TRUE(a.ReleaseData(p, false));
    EXPECT_EQ(static_cast<uint8_t*>(ms.Memory())[46], 0xAA);

    ASSERT_TRUE(a.AcquireData(p, true));  // a copy
    EXPECT_NE(p, static_cast<uint8_t*>(ms.Memory()) + 46);
    static_cast<uint8_t*>(p)[1] = 0xBB;
    EXPECT_TRUE(a.ReleaseData(p, false));
    EXPECT_NE(static_cast<uint8_t*>(ms.Memory())[47], 0xBB);
    ASSERT_TRUE(a.AcquireData(p, true));
    static_cast<uint8_t*>(p)[1] = 0xBB;
    EXPECT_TRUE(a.ReleaseData(p, true));
    EXPECT_EQ(static_cast<uint8_t*>(ms.Memory())[47], 0xBB);
    EXPECT_FALSE(a.ReleaseData(nullptr, true));

    // A pointer into memory that has since moved is still no copy to free.
    ASSERT_TRUE(a.AcquireData(p, false));
    Bytes big(1 << 20, 0);
    ms.Seek(0, TSeekOrigin::soEnd);
    ms.Write(big.data(), int32_t(big.size()));
    EXPECT_TRUE(a.ReleaseData(p, false));

    // On a file stream the data is always a copy; write-back reaches the file.
    TempDir dir;
    TFileStream f(dir / "d.wav", fmCreate);
    TProbe onFile(&f);
    Record(onFile, Mono8bit48000Hz, Ramp(64));
    ASSERT_TRUE(onFile.AcquireData(p, false));
    static_cast<uint8_t*>(p)[63] = 0x7E;
    EXPECT_TRUE(onFile.ReleaseData(p, true));
    EXPECT_EQ(ReadFileBytes(dir / "d.wav")[46 + 63], 0x7E);
    EXPECT_EQ(onFile.BytesForMs(1), 48u);

    // no data, no block
    Record(a, Mono16bit11025Hz, {});
    EXPECT_FALSE(a.AcquireData(p, false));
}

TEST(Adapter, PeakLevel) {
    TMemoryStream ms;
    TWaveStreamAdapter a(&ms);
    std::vector<int16_t> s(500, -30000);
    s[321] = 16384;
    Bytes b(reinterpret_cast<uint8_t*>(s.data()), reinterpret_cast<uint8_t*>(s.data() + s.size()));
    Record(a, Stereo16bit48000Hz, b);
    EXPECT_EQ(a.PeakLevel(), 50);
    Record(a, Mono8bit11025Hz, Bytes(99, 255));
    EXPECT_EQ(a.PeakLevel(), 100);
    tWAVEFORMATEX flt{3, 1, 8000, 32000, 4, 32, 0};
    ASSERT_TRUE(a.BeginRewrite(&flt));
    a.Write(b.data(), 40);
    a.EndRewrite();
    EXPECT_EQ(a.PeakLevel(), -1);
    EXPECT_EQ(a.AudioFormat(), "PCM IEEE: 8.000 kHz, 32 Bit, Mono");
}

TEST(Adapter, LoadSaveAndAssign) {
    TempDir dir;
    TMemoryStream m1, m2;
    TWaveStreamAdapter a(&m1), b(&m2);
    Record(a, Stereo16bit11025Hz, Ramp(256));
    a.SaveToFile(dir / "a.wav");
    EXPECT_EQ(ReadFileBytes(dir / "a.wav"), StreamBytes(m1));
    b.LoadFromFile(dir / "a.wav");
    EXPECT_TRUE(b.Equals(&a));

    // A missing file raises the runtime's error and keeps the content.
    EXPECT_THROW(b.LoadFromFile(dir / "missing.wav"), EFOpenError);
    EXPECT_TRUE(b.Equals(&a));

    // Assign copies another adapter's whole stream, from its start.
    TMemoryStream m3;
    TWaveStreamAdapter c(&m3);
    Record(c, Mono8Bit8000Hz, Ramp(7));
    m3.SetPosition(5);
    b.Assign(&c);
    EXPECT_TRUE(b.Equals(&c));
    b.Assign(&b);  // onto itself: nothing to do
    EXPECT_TRUE(b.Equals(&c));
    TWaveStreamAdapter sameStream(&m3);
    sameStream.Assign(&c);
    EXPECT_TRUE(c.Valid());
    EXPECT_EQ(StreamBytes(m3).size(), 46u + 7);

    class TOther : public TPersistent {
        const char* ClassName() const override { return "TOther"; }
    } other;
    try {
        b.Assign(&other);
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "TOther kann nicht zu TWaveStreamAdapter zugewiesen werden");
    }
    EXPECT_THROW(b.Assign(nullptr), EConvertError);

    // Any content loads; it is then simply not valid.
    std::unique_ptr<TMemoryStream> junk(NewMemoryStream(Bytes{'n', 'o', 'p', 'e'}));
    b.LoadFromStream(junk.get());
    EXPECT_FALSE(b.Valid());
    EXPECT_EQ(m2.Size(), 4);
    // A source positioned past its start cannot deliver its size in bytes.
    junk->SetPosition(2);
    EXPECT_THROW(b.LoadFromStream(junk.get()), EReadError);

    // Loading while a read is open closes that read.
    b.LoadFromFile(dir / "a.wav");
    ASSERT_TRUE(b.BeginRead());
    b.LoadFromFile(dir / "a.wav");
    EXPECT_EQ(b.State(), wssReady);
    EXPECT_TRUE(b.BeginRead());
}

TEST(Adapter, StreamOwnership) {
    bool gone = false;
    {
        TWaveStreamAdapter a(new TWatchedStream(&gone), soOwned);
        Record(a, Mono8Bit8000Hz, Ramp(5));
    }
    EXPECT_TRUE(gone);

    gone = false;
    TWatchedStream keep(&gone);
    {
        TWaveStreamAdapter a(&keep, soReference);
        Record(a, Mono8Bit8000Hz, Ramp(5));
        EXPECT_EQ(a.Ownership(), soReference);
    }
    EXPECT_FALSE(gone);
    TWaveStreamAdapter again(&keep);
    EXPECT_EQ(again.DataSize(), 5u);

    // Destroyed in the middle of a rewrite: the image is finished.
    TMemoryStream ms;
    {
        TWaveStreamAdapter a(&ms);
        ASSERT_TRUE(a.BeginRewritePCM(Stereo16bit22050Hz));
        a.Write(Ramp(40).data(), 40);
    }
    TWaveStreamAdapter check(&ms);
    EXPECT_TRUE(check.Valid());
    EXPECT_EQ(check.DataSize(), 40u);
}

TEST(Adapter, FullDiskKeepsWhatWasRecorded) {
    // The disk fills up during a recording: Write reports the short write,
    // and ending the rewrite still leaves a valid image of what got through.
    TFullDiskStream ms;
    ms.limit = 46 + 1000;
    TWaveStreamAdapter a(&ms);
    ASSERT_TRUE(a.BeginRewritePCM(Mono16bit22050Hz));
    const Bytes data = Ramp(800);
    EXPECT_EQ(a.Write(data.data(), 800), 800);
    EXPECT_EQ(a.Write(data.data(), 800), 200);
    EXPECT_EQ(a.Write(data.data(), 800), -1);
    EXPECT_TRUE(a.EndRewrite());
    EXPECT_TRUE(a.Valid());
    EXPECT_EQ(a.DataSize(), 1000u);

    // No room even for the header: the rewrite fails and the details say so.
    TFullDiskStream tiny;
    tiny.limit = 30;
    TWaveStreamAdapter b(&tiny);
    Events ev;
    ev.Attach(b);
    EXPECT_FALSE(b.BeginRewritePCM(Mono16bit22050Hz));
    EXPECT_EQ(b.State(), wssReady);
    EXPECT_FALSE(b.Valid());

    // The pad byte of an odd length finds no room: the sizes are fixed, but
    // the failure is reported.
    TFullDiskStream odd;
    odd.limit = 46 + 11;
    TWaveStreamAdapter c(&odd);
    ASSERT_TRUE(c.BeginRewritePCM(Mono8bit22050Hz));
    EXPECT_EQ(c.Write(data.data(), 11), 11);
    EXPECT_FALSE(c.EndRewrite());
    EXPECT_EQ(c.State(), wssReady);
    EXPECT_TRUE(c.Valid());
    EXPECT_EQ(c.DataSize(), 11u);
}

TEST(Adapter, FileSizeLimitKeepsWhatWasRecorded) {
    // A real file under a file-size limit (write(2) fails with EFBIG after a
    // short write), in a child process: the recording stops short at a whole
    // frame (the limit falls inside one), and once the rewrite ends the file
    // is a valid image of what got through.
    TempDir dir;
    const std::string path = dir / "limited.wav";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim {120000, 120000};
        setrlimit(RLIMIT_FSIZE, &lim);
        int code = 0;
        {
            TWaveStreamAdapter a(new TFileStream(path, fmCreate | fmShareDenyWrite), soOwned);
            if (!a.BeginRewritePCM(Stereo16bit22050Hz)) code = 1;
            const Bytes second = Ramp(88200);
            if (a.Write(second.data(), 88200) != 88200) code = 2;
            if (a.Write(second.data(), 88200) != 120000 - 46 - 88200 - 2) code = 3;
            if (a.Write(second.data(), 88200) > 0) code = 4;  // only part of a frame fits
            if (!a.EndRewrite()) code = 5;
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const Bytes b = ReadFileBytes(path);
    ASSERT_EQ(b.size(), 119998u);
    EXPECT_EQ(LE32(b, 4), 119998u - 8);
    EXPECT_EQ(LE32(b, 42), 119998u - 46);
    int rc;
    EXPECT_EQ(RunCommand("sox --i -s " + path, &rc), std::to_string((119998 - 46) / 4) + "\n");
}

TEST(Adapter, ImageStopsGrowingAtTheRiffLimit) {
    // A recording that reaches 4 GiB: writes are cut where the RIFF size
    // would overflow, and the image ends valid (a sparse file, no real data).
    TempDir dir;
    TFileStream f(dir / "huge.wav", fmCreate);
    TWaveStreamAdapter a(&f);
    ASSERT_TRUE(a.BeginRewritePCM(Stereo16bit44100Hz));
    a.SetPosition(0xFFFFFFFFLL - 46 - 100);
    const Bytes data = Ramp(1000);
    EXPECT_EQ(a.Write(data.data(), 1000), 107);
    EXPECT_EQ(a.Write(data.data(), 1000), -1);
    ASSERT_TRUE(a.EndRewrite());
    ASSERT_TRUE(a.Valid());
    EXPECT_EQ(a.DataSize(), 0xFFFFFFFFu - 39);
    EXPECT_EQ(f.Size(), 0xFFFFFFFFLL + 7);
    Bytes head(46);
    f.SetPosition(0);
    f.ReadBuffer(head.data(), 46);
    EXPECT_EQ(LE32(head, 4), 0xFFFFFFFEu);
}

TEST(Adapter, LoadingOrSavingAStreamOntoItself) {
    TMemoryStream ms;
    TWaveStreamAdapter a(&ms);
    Record(a, Stereo16bit8000Hz, Ramp(3 << 20, 7));  // larger than one copy step
    const Bytes before = StreamBytes(ms);
    a.SaveToStream(&ms);
    EXPECT_EQ(StreamBytes(ms), before);
    a.LoadFromStream(&ms);
    EXPECT_EQ(StreamBytes(ms), before);
    EXPECT_EQ(a.DataSize(), 3u << 20);
}

// ------------------------------------------------------------ other readers

TEST(AdapterFiles, PythonWaveAndSoxReadWhatWeWrite) {
    TempDir dir;
    const struct {
        TPCMFormat format;
        uint32_t bytes;
        int channels, width, rate;
    } cases[] = {
        {Mono8Bit8000Hz, 8001, 1, 1, 8000},
        {Stereo16bit22050Hz, 88200 * 2 + 40, 2, 2, 22050},
        {Mono16bit44100Hz, 1000, 1, 2, 44100},
        {Stereo16bit48000Hz, 0, 2, 2, 48000},
    };
    for (const auto& c : cases) {
        const std::string path = dir / ("rec" + std::to_string(int(c.format)) + ".wav");
        SCOPED_TRACE(path);
        Bytes data = Ramp(c.bytes, 5);
        {
            auto* f = new TFileStream(path, fmCreate | fmShareDenyWrite);
            TWaveStreamAdapter a(f, soOwned);
            ASSERT_TRUE(a.BeginRewritePCM(c.format));
            // written in device-buffer sized pieces, as a recorder does
            uint32_t done = 0;
            while (done < c.bytes) {
                const uint32_t n = std::min<uint32_t>(4410, c.bytes - done);
                ASSERT_EQ(a.Write(data.data() + done, int32_t(n)), int32_t(n));
                done += n;
            }
            ASSERT_TRUE(a.EndRewrite());
        }
        int rc;
        const std::string out = RunCommand(
            "python3 -c \"import wave,sys,hashlib; w=wave.open(sys.argv[1]); "
            "print(w.getframerate(), w.getnchannels(), w.getsampwidth(), w.getnframes(), "
            "hashlib.md5(w.readframes(w.getnframes())).hexdigest())\" " +
                path,
            &rc);
        ASSERT_EQ(rc, 0) << out;
        const std::string md5 = RunCommand("python3 -c \"import hashlib,sys; "
                                           "print(hashlib.md5(open(sys.argv[1],'rb').read()[46:]).hexdigest())\" " +
                                           path);
        const uint32_t frames = c.bytes / uint32_t(c.channels * c.width);
        EXPECT_EQ(out, std::to_string(c.rate) + " " + std::to_string(c.channels) + " " + std::to_string(c.width) +
                           " " + std::to_string(frames) + " " + md5);
        auto soxInfo = [&](const char* flag) { return RunCommand("sox --i " + std::string(flag) + " " + path + " 2>&1"); };
        EXPECT_EQ(soxInfo("-r"), std::to_string(c.rate) + "\n");
        EXPECT_EQ(soxInfo("-c"), std::to_string(c.channels) + "\n");
        EXPECT_EQ(soxInfo("-b"), std::to_string(c.width * 8) + "\n");
        EXPECT_EQ(soxInfo("-s"), std::to_string(frames) + "\n");
    }
}

TEST(AdapterFiles, ReadsAFileWithTrailingMetadata) {
    // libsndfile's metadata tool appends a LIST chunk after the data.
    TempDir dir;
    int rc;
    RunCommand("sox -n -r 22050 -c 2 -b 16 " + dir / "plain.wav" + " synth 0.05 sine 440", &rc);
    ASSERT_EQ(rc, 0);
    RunCommand("sndfile-metadata-set --str-comment 'take one' " + dir / "plain.wav" + " " + dir / "meta.wav" +
                   " >/dev/null 2>&1",
               &rc);
    ASSERT_EQ(rc, 0) << "sndfile-metadata-set (sndfile-programs) is needed";
    const Bytes file = ReadFileBytes(dir / "meta.wav");
    TFileStream f(dir / "meta.wav", fmOpenRead | fmShareDenyWrite);
    TWaveStreamAdapter a(&f);
    ASSERT_TRUE(a.Valid());
    EXPECT_EQ(a.PCMFormat(), Stereo16bit22050Hz);
    EXPECT_EQ(std::to_string(a.DataSize() / 4) + "\n", RunCommand("sox --i -s " + dir / "plain.wav"));
    ASSERT_TRUE(a.BeginRead());
    Bytes all;
    Bytes block(BufferBytesForMs(a.WaveFormat(), 10));
    for (int32_t n; (n = a.Read(block.data(), int32_t(block.size()))) > 0;) all.insert(all.end(), block.begin(), block.begin() + n);
    ASSERT_EQ(all.size(), file.size() - a.DataOffset());
    EXPECT_TRUE(std::equal(all.begin(), all.end(), file.begin() + a.DataOffset()));
    const std::string tail(all.begin() + long(a.DataSize()), all.end());
    EXPECT_NE(tail.find("take one"), std::string::npos);
}
