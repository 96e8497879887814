// RIFF chunk I/O over streams: the layout written, the header parser on good,
// foreign and broken images, the stream I/O procedure and shared streams.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "WaveTestSupport.h"
#include "wave/WaveUtils.h"

using namespace orvant;
using namespace wavetest;

namespace {

struct Parsed {
    bool ok = false;
    PWaveFormatEx wf = nullptr;
    uint32_t size = 0, offset = 0;
    ~Parsed() { FreeWaveFormat(wf); }
};

std::unique_ptr<Parsed> Parse(const Bytes& image) {
    auto p = std::make_unique<Parsed>();
    std::unique_ptr<TMemoryStream> ms(NewMemoryStream(image));
    p->ok = ParseStreamWaveHeader(ms.get(), p->wf, p->size, p->offset);
    EXPECT_EQ(p->ok, p->wf != nullptr);
    EXPECT_EQ(ms->Position(), 0);
    return p;
}

// Writes a complete image through the chunk writer, as a recording ends.
Bytes WriteImage(const tWAVEFORMATEX* wf, const Bytes& data) {
    TMemoryStream ms;
    MMCKINFO ckRIFF, ckData;
    HMMIO h = BeginStreamWaveFile(&ms, wf, ckRIFF, ckData);
    EXPECT_NE(h, nullptr);
    if (!h) return {};
    EXPECT_EQ(mmioWrite(h, data.data(), int32_t(data.size())), int32_t(data.size()));
    EXPECT_EQ(mmioAscend(h, &ckData, 0), 0u);
    EXPECT_EQ(mmioAscend(h, &ckRIFF, 0), 0u);
    mmioClose(h);
    return StreamBytes(ms);
}

// A stream that fails on demand: reads or writes return -1, or raise.
class TFailingStream : public TMemoryStream {
public:
    bool failRead = false, failWrite = false, raise = false;
    int64_t writeLimit = INT64_MAX;  // growth beyond this size fails (a full disk)
    int32_t Read(void* buffer, int32_t count) override {
        if (failRead) {
            if (raise) throw EReadError("read");
            return -1;
        }
        return TMemoryStream::Read(buffer, count);
    }
    int32_t Write(const void* buffer, int32_t count) override {
        if (failWrite) {
            if (raise) throw EWriteError("write");
            return -1;
        }
        const int64_t pos = Position();
        if (pos + count > writeLimit) count = int32_t(std::max<int64_t>(0, writeLimit - pos));
        return count ? TMemoryStream::Write(buffer, count) : -1;
    }
};

}  // namespace

TEST(RiffWriter, Mono16bit8000HzImageLayout) {
    tWAVEFORMATEX wf{};
    PCMFormatToWaveFormat(&wf, Mono16bit8000Hz);
    Bytes data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    const Bytes b = WriteImage(&wf, data);
    ASSERT_EQ(b.size(), 1046u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(LE32(b, 4), 1038u);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(LE32(b, 16), 18u);
    EXPECT_EQ(std::memcmp(&b[20], &wf, 18), 0);
    EXPECT_EQ(std::string(b.begin() + 38, b.begin() + 42), "data");
    EXPECT_EQ(LE32(b, 42), 1000u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), b.begin() + 46));

    auto p = Parse(b);
    ASSERT_TRUE(p->ok);
    EXPECT_EQ(p->size, 1000u);
    EXPECT_EQ(p->offset, 46u);
    EXPECT_EQ(std::memcmp(p->wf, &wf, 18), 0);
}

TEST(RiffWriter, OddSizesArePaddedAndCounted) {
    // Odd data: the pad byte follows the data and the RIFF size counts it.
    tWAVEFORMATEX wf{};
    PCMFormatToWaveFormat(&wf, Mono8Bit8000Hz);
    const Bytes b = WriteImage(&wf, Bytes(11, 0x80));
    ASSERT_EQ(b.size(), 46u + 12);
    EXPECT_EQ(LE32(b, 42), 11u);
    EXPECT_EQ(b.back(), 0);
    EXPECT_EQ(LE32(b, 4), b.size() - 8);

    // Extra format bytes: a 20-byte chunk read back identical; an odd
    // 19-byte one gets a pad byte before "data".
    for (uint16_t cb : {2, 1}) {
        Bytes rec(18 + cb);
        tWAVEFORMATEX head{};
        head.wFormatTag = 17;
        head.nChannels = 1;
        head.nSamplesPerSec = 8000;
        head.nAvgBytesPerSec = 4055;
        head.nBlockAlign = 256;
        head.wBitsPerSample = 4;
        head.cbSize = cb;
        std::memcpy(rec.data(), &head, 18);
        for (uint16_t i = 0; i < cb; ++i) rec[18 + i] = uint8_t(0xF9 + i);
        const Bytes img = WriteImage(reinterpret_cast<const tWAVEFORMATEX*>(rec.data()), Bytes(512, 1));
        EXPECT_EQ(LE32(img, 16), 18u + cb);
        auto p = Parse(img);
        ASSERT_TRUE(p->ok);
        EXPECT_EQ(p->offset, 48u);  // 20 + 18 + cb rounded up to even, + 8, for cb 1 and 2
        EXPECT_EQ(p->size, 512u);
        EXPECT_EQ(p->wf->cbSize, cb);
        EXPECT_EQ(std::memcmp(p->wf, rec.data(), rec.size()), 0);
    }
}

TEST(RiffWriter, BeginEmptiesTheStreamAndFailuresCloseTheHandle) {
    tWAVEFORMATEX wf{};
    PCMFormatToWaveFormat(&wf, Stereo16bit22050Hz);
    TMemoryStream ms;
    Bytes junk(5000, 0xEE);
    ms.Write(junk.data(), int32_t(junk.size()));
    MMCKINFO r, d;
    HMMIO h = BeginStreamWaveFile(&ms, &wf, r, d);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ms.Size(), 46);
    EXPECT_EQ(mmioSeek(h, 0, 1), 46);
    mmioClose(h);

    TFailingStream bad;
    bad.failWrite = true;
    EXPECT_EQ(BeginStreamWaveFile(&bad, &wf, r, d), nullptr);
    bad.raise = true;
    EXPECT_EQ(BeginStreamWaveFile(&bad, &wf, r, d), nullptr);
    EXPECT_EQ(BeginStreamWaveFile(&ms, nullptr, r, d), nullptr);
    EXPECT_EQ(BeginStreamWaveFile(nullptr, &wf, r, d), nullptr);
}

TEST(RiffReader, FormatChunkVariants) {
    const Bytes data = Chunk("data", Bytes(8, 3));
    {  // the common 16-byte PCM chunk: an 18-byte record with cbSize 0
        auto p = Parse(RiffWave(Concat({Chunk("fmt ", PcmFmt(2, 44100, 16)), data})));
        ASSERT_TRUE(p->ok);
        EXPECT_EQ(WaveFormatSize(p->wf), 18u);
        EXPECT_EQ(p->wf->cbSize, 0);
        EXPECT_EQ(p->wf->wBitsPerSample, 16);
        EXPECT_EQ(WaveFormatToPCMFormat(p->wf), Stereo16bit44100Hz);
        EXPECT_EQ(p->offset, 44u);
    }
    {  // 14 bytes: no bits either
        Bytes f = PcmFmt(1, 8000, 8);
        f.resize(14);
        auto p = Parse(RiffWave(Concat({Chunk("fmt ", f), data})));
        ASSERT_TRUE(p->ok);
        EXPECT_EQ(p->wf->wBitsPerSample, 0);
        EXPECT_EQ(p->wf->cbSize, 0);
        EXPECT_EQ(p->wf->nBlockAlign, 1);
    }
    {  // below 14: not valid
        Bytes f = PcmFmt(1, 8000, 8);
        f.resize(12);
        EXPECT_FALSE(Parse(RiffWave(Concat({Chunk("fmt ", f), data})))->ok);
    }
    {  // cbSize claims far more than the chunk holds: the record still has
       // 18 + cbSize bytes, zero beyond the chunk's own
        Bytes f = PcmFmt(1, 8000, 8);
        Put16(f, 40000);
        Put16(f, 0xABCD);
        auto p = Parse(RiffWave(Concat({Chunk("fmt ", f), data})));
        ASSERT_TRUE(p->ok);
        ASSERT_EQ(WaveFormatSize(p->wf), 18u + 40000);
        const uint8_t* extra = WaveFormatExtra(p->wf);
        EXPECT_EQ(extra[0], 0xCD);
        EXPECT_EQ(extra[1], 0xAB);
        for (int i = 2; i < 40000; ++i) ASSERT_EQ(extra[i], 0) << i;
    }
    {  // a format chunk longer than any record: read as far as needed
        Bytes f = PcmFmt(2, 8000, 16);
        Put16(f, 4);
        f.resize(100000, 0x11);
        auto p = Parse(RiffWave(Concat({Chunk("fmt ", f), data})));
        ASSERT_TRUE(p->ok);
        EXPECT_EQ(p->wf->cbSize, 4);
        EXPECT_EQ(p->offset, 20u + 100000 + 8);
    }
}

TEST(RiffReader, ChunkOrderAndForeignChunks) {
    const Bytes fmt = Chunk("fmt ", PcmFmt(1, 22050, 16));
    const Bytes data = Chunk("data", Bytes(6, 9));
    const Bytes list = Chunk("LIST", Concat({Bytes{'I', 'N', 'F', 'O'}, Chunk("ICMT", Bytes{'o', 'd', 'd'})}));
    const Bytes junk = Chunk("JUNK", Bytes(7, 0));  // odd size, padded
    {
        auto p = Parse(RiffWave(Concat({list, fmt, junk, list, data})));
        ASSERT_TRUE(p->ok);
        EXPECT_EQ(p->offset, 12 + list.size() + fmt.size() + junk.size() + list.size() + 8);
        EXPECT_EQ(p->size, 6u);
    }
    EXPECT_FALSE(Parse(RiffWave(Concat({data, fmt})))->ok);
    EXPECT_FALSE(Parse(RiffWave(fmt))->ok);
    EXPECT_FALSE(Parse(RiffWave(data))->ok);
    EXPECT_FALSE(Parse(Bytes{})->ok);
    {  // another form type, or no RIFF at all
        Bytes b = RiffWave(Concat({fmt, data}));
        b[8] = 'A';
        EXPECT_FALSE(Parse(b)->ok);
        Bytes c = RiffWave(Concat({fmt, data}));
        c[0] = 'X';
        EXPECT_FALSE(Parse(c)->ok);
    }
    {  // a "data" chunk outside the RIFF chunk does not count
        Bytes inner = RiffWave(fmt);
        EXPECT_FALSE(Parse(Concat({inner, data}))->ok);
    }
}

TEST(RiffReader, HostileSizesAndTruncation) {
    const Bytes fmt = Chunk("fmt ", PcmFmt(1, 8000, 16));
    const Bytes data = Chunk("data", Bytes(10, 5));
    {  // a data size far beyond the stream is taken as stated
        Bytes b = RiffWave(Concat({fmt, Chunk("data", Bytes(10, 5), 0xFFFFFFFFLL, false)}));
        auto p = Parse(b);
        ASSERT_TRUE(p->ok);
        EXPECT_EQ(p->size, 0xFFFFFFFFu);
        EXPECT_EQ(p->offset, 44u);
    }
    // A RIFF size near 2^32 is no reason to fail; one too small to hold the
    // chunks is.
    EXPECT_TRUE(Parse(RiffWave(Concat({fmt, data}), 0xFFFFFFFFLL))->ok);
    EXPECT_FALSE(Parse(RiffWave(Concat({fmt, data}), 20))->ok);
    // A format chunk claiming nearly 4 GiB: neither allocated nor read.
    EXPECT_FALSE(Parse(RiffWave(Concat({Chunk("fmt ", PcmFmt(1, 8000, 16), 0xFFFFFFF0LL, false), data})))->ok);
    // Skipping a huge chunk must not wrap around to an earlier offset.
    for (uint32_t huge : {0xFFFFFFFFu, 0xFFFFFFF7u, 0xFFFFFFD0u, 0x7FFFFFFFu}) {
        Bytes b = RiffWave(Concat({fmt, Chunk("JUNK", {}, huge, false), data}));
        EXPECT_FALSE(Parse(b)->ok) << huge;
    }
    // Cut anywhere before the data chunk's head is complete: not valid.
    const Bytes whole = RiffWave(Concat({fmt, data}));
    for (size_t n = 0; n < 44; ++n) EXPECT_FALSE(Parse(Bytes(whole.begin(), whole.begin() + n))->ok) << n;
    EXPECT_TRUE(Parse(Bytes(whole.begin(), whole.begin() + 44))->ok);
}

TEST(RiffReader, ParsingRestoresTheHandlePosition) {
    tWAVEFORMATEX wf{};
    PCMFormatToWaveFormat(&wf, Mono8bit11025Hz);
    std::unique_ptr<TMemoryStream> ms(NewMemoryStream(WriteImage(&wf, Bytes(300, 1))));
    HMMIO h = OpenStreamAsWave(ms.get());
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(mmioSeek(h, 123, 0), 123);
    PWaveFormatEx got;
    uint32_t size, offset;
    ASSERT_TRUE(ParseWaveHeader(h, got, size, offset));
    EXPECT_EQ(mmioSeek(h, 0, 1), 123);
    FreeWaveFormat(got);
    // also after a failed parse
    ms->SetSize(30);
    ASSERT_EQ(mmioSeek(h, 7, 0), 7);
    EXPECT_FALSE(ParseWaveHeader(h, got, size, offset));
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(mmioSeek(h, 0, 1), 7);
    mmioClose(h);
}

TEST(StreamBinding, HandlesKeepTheirOwnPositions) {
    Bytes b(256);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i);
    std::unique_ptr<TMemoryStream> ms(NewMemoryStream(b));
    HMMIO a = OpenStreamAsWave(ms.get());
    HMMIO c = OpenStreamAsWave(ms.get());
    ASSERT_TRUE(a && c);
    mmioSeek(a, 10, 0);
    mmioSeek(c, 200, 0);
    ms->SetPosition(77);  // the stream's own position is not trusted
    uint8_t x[4];
    ASSERT_EQ(mmioRead(a, x, 4), 4);
    EXPECT_EQ(x[0], 10);
    ASSERT_EQ(mmioRead(c, x, 4), 4);
    EXPECT_EQ(x[0], 200);
    EXPECT_EQ(mmioSeek(a, 2, 1), 16);  // relative to the handle, not the stream
    ASSERT_EQ(mmioRead(a, x, 1), 1);
    EXPECT_EQ(x[0], 16);
    EXPECT_EQ(mmioSeek(c, -6, 2), 250);
    EXPECT_EQ(mmioRead(c, x, 4), 4);
    EXPECT_EQ(mmioRead(c, x, 4), 2);
    EXPECT_EQ(mmioRead(c, x, 4), 0);
    mmioClose(a);
    mmioClose(c);
    EXPECT_EQ(ms->Size(), 256);  // closing leaves the stream alone
}

TEST(StreamBinding, FailuresAreMinusOne) {
    uint8_t buf[8] = {};
    EXPECT_EQ(StreamIOProc(nullptr, MMIOM_READ, 0, 0), -1);
    MMIOINFO empty{};
    EXPECT_EQ(StreamIOProc(&empty, MMIOM_OPEN, 0, 0), -1);
    EXPECT_EQ(OpenStreamAsWave(nullptr), nullptr);

    TFailingStream s;
    s.Write(buf, 8);
    MMIOINFO info{};
    info.pStream = &s;
    EXPECT_EQ(StreamIOProc(&info, 99, 0, 0), 0);  // unknown message
    EXPECT_EQ(StreamIOProc(&info, MMIOM_CLOSE, 0, 0), 0);
    EXPECT_EQ(StreamIOProc(&info, MMIOM_SEEK, -5, 0), -1);
    EXPECT_EQ(StreamIOProc(&info, MMIOM_SEEK, 3, 7), -1);
    for (bool raise : {false, true}) {
        s.raise = raise;
        s.failRead = true;
        s.failWrite = true;
        EXPECT_EQ(StreamIOProc(&info, MMIOM_READ, reinterpret_cast<intptr_t>(buf), 4), -1);
        EXPECT_EQ(StreamIOProc(&info, MMIOM_WRITE, reinterpret_cast<intptr_t>(buf), 4), -1);
        EXPECT_EQ(StreamIOProc(&info, MMIOM_WRITEFLUSH, reinterpret_cast<intptr_t>(buf), 4), -1);
    }
    // A parse over a failing stream is simply not valid.
    Parsed p;
    EXPECT_FALSE(ParseStreamWaveHeader(&s, p.wf, p.size, p.offset));
    EXPECT_EQ(p.wf, nullptr);
}

TEST(StreamBinding, AscendFixesSizesFromTheFurthestByteWritten) {
    // Moving back inside the data to overwrite a block must not shorten it.
    tWAVEFORMATEX wf{};
    PCMFormatToWaveFormat(&wf, Mono16bit8000Hz);
    TMemoryStream ms;
    MMCKINFO r, d;
    HMMIO h = BeginStreamWaveFile(&ms, &wf, r, d);
    ASSERT_NE(h, nullptr);
    Bytes data(400, 0x22);
    mmioWrite(h, data.data(), 400);
    mmioSeek(h, 46 + 100, 0);
    mmioWrite(h, data.data(), 10);
    EXPECT_EQ(mmioAscend(h, &d, 0), 0u);
    EXPECT_EQ(mmioAscend(h, &r, 0), 0u);
    mmioClose(h);
    const Bytes b = StreamBytes(ms);
    EXPECT_EQ(LE32(b, 42), 400u);
    EXPECT_EQ(LE32(b, 4), 438u);
}

// ------------------------------------------------------------ foreign files

namespace {

struct SoxCase {
    const char* name;
    const char* args;   // sox output options
    uint16_t tag;       // expected format tag
    uint16_t channels;
    uint32_t rate;
    uint16_t bits;
    bool rawComparable;  // `sox -t raw` gives the data bytes unchanged
};

// Inserts a LIST/INFO chunk with a comment right before "data" and fixes
// the RIFF size: sox itself keeps comments out of the files it writes.
Bytes WithListBeforeData(const Bytes& wav) {
    size_t at = 12;
    while (at + 8 <= wav.size() && std::string(wav.begin() + long(at), wav.begin() + long(at) + 4) != "data")
        at += 8 + LE32(wav, at + 4) + (LE32(wav, at + 4) & 1);
    Bytes list = Chunk("LIST", Concat({Bytes{'I', 'N', 'F', 'O'}, Chunk("ICMT", Bytes{'t', 'a', 'k', 'e', ' ', '1', 0})}));
    Bytes out(wav.begin(), wav.begin() + long(at));
    out.insert(out.end(), list.begin(), list.end());
    out.insert(out.end(), wav.begin() + long(at), wav.end());
    const uint32_t riff = uint32_t(out.size() - 8);
    for (int i = 0; i < 4; ++i) out[4 + i] = uint8_t(riff >> (8 * i));
    return out;
}

}  // namespace

TEST(ForeignFiles, FilesMadeBySox) {
    TempDir dir;
    const SoxCase cases[] = {
        {"s16list", "-r 22050 -c 2 -b 16 -e signed-integer", 1, 2, 22050, 16, true},
        {"u8", "-r 8000 -c 1 -b 8 -e unsigned-integer", 1, 1, 8000, 8, true},
        {"f32", "-r 11025 -c 2 -b 32 -e floating-point", 3, 2, 11025, 32, true},
        {"ima", "-r 8000 -c 1 -e ima-adpcm", 17, 1, 8000, 4, false},
        {"six24", "-r 48000 -c 6 -b 24", 0xFFFE, 6, 48000, 24, true},
    };
    for (const SoxCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string wav = dir / (std::string(c.name) + ".wav");
        int rc;
        RunCommand("sox -n " + std::string(c.args) + " " + wav + " synth 0.13 sine 300 2>&1", &rc);
        ASSERT_EQ(rc, 0) << "sox could not write " << wav;
        Bytes file = ReadFileBytes(wav);
        if (std::string(c.name) == "s16list") {
            file = WithListBeforeData(file);
            WriteFile(wav, file);
            // sox still reads the spliced file
            RunCommand("sox --i " + wav + " >/dev/null 2>&1", &rc);
            ASSERT_EQ(rc, 0);
        }
        auto p = Parse(file);
        ASSERT_TRUE(p->ok);
        EXPECT_EQ(p->wf->wFormatTag, c.tag);
        EXPECT_EQ(p->wf->nChannels, c.channels);
        EXPECT_EQ(p->wf->nSamplesPerSec, c.rate);
        EXPECT_EQ(p->wf->wBitsPerSample, c.bits);
        EXPECT_EQ(c.tag == 0xFFFE ? 22 : c.tag == 17 ? 2 : 0, p->wf->cbSize);
        EXPECT_EQ(std::to_string(c.channels), RunCommand("sox --i -c " + wav + " | tr -d '\\n'"));
        EXPECT_EQ(std::to_string(c.rate), RunCommand("sox --i -r " + wav + " | tr -d '\\n'"));
        // sox writes the data chunk last: offset + size (+ pad) is the end.
        EXPECT_EQ(uint64_t(p->offset) + p->size + (p->size & 1), file.size());
        EXPECT_EQ(std::string(file.begin() + p->offset - 8, file.begin() + p->offset - 4), "data");
        if (c.rawComparable) {
            const std::string raw = dir / (std::string(c.name) + ".raw");
            RunCommand("sox " + wav + " -t raw " + raw, &rc);
            ASSERT_EQ(rc, 0);
            const Bytes samples = ReadFileBytes(raw);
            ASSERT_EQ(samples.size(), p->size);
            EXPECT_TRUE(std::equal(samples.begin(), samples.end(), file.begin() + p->offset));
        }
    }
}
