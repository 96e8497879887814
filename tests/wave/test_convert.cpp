// Whole-image conversion through the wave stream adapter: results, events
// and untouched content on failure; and agreement with sox, which reads the
// images we write and writes images we read. Speech comes from espeak-ng.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "platform/codecs/Acm.h"
#include "tests/platform/codecs/CodecFormats.h"
#include "tests/support/Files.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/WaveSupport.h"
#include "wave/WaveStorage.h"
#include "wave/WaveUtils.h"

using namespace orvant;
using testsupport::Pcm;
using Events = testsupport::TAdapterEvents;

namespace {

// Runs cmd, expecting success; its output and error output.
std::string Shell(const std::string& cmd) {
    int rc = -1;
    const std::string out = testsupport::RunCommand(cmd + " 2>&1", &rc);
    EXPECT_EQ(rc, 0) << cmd << "\n" << out;
    return out;
}

// A temporary folder with a spoken sentence in it, made once for all tests.
class Workdir {
public:
    Workdir() {
        Shell("espeak-ng -w " + Path("speech.wav") +
              " 'The quick brown fox jumps over the lazy dog. Orvant records every phrase.'");
        // A second voice for the right channel, so that the channels differ.
        Shell("espeak-ng -p 80 -s 200 -w " + Path("speech2.wav") +
              " 'Twelve more phrases are waiting to be recorded today, thank you.'");
    }
    std::string Path(const std::string& name) const { return dir / name; }
    testsupport::TScratchDir dir{"orvant-convert"};
};

Workdir& Dir() {
    static Workdir w;
    return w;
}

// Stereo speech of a given rate as a 16-bit image.
std::string StereoSpeech(uint32_t rate) {
    const std::string out = Dir().Path("stereo" + std::to_string(rate) + ".wav");
    Shell("sox -M " + Dir().Path("speech.wav") + " " + Dir().Path("speech2.wav") + " -r " + std::to_string(rate) +
          " -b 16 " + out);
    return out;
}

std::string MonoSpeech(uint32_t rate) {
    const std::string out = Dir().Path("mono" + std::to_string(rate) + ".wav");
    Shell("sox " + Dir().Path("speech.wav") + " -r " + std::to_string(rate) + " -b 16 " + out);
    return out;
}

// sox's own decoding of an image to 16-bit samples.
std::vector<uint8_t> SoxDecode(const std::string& wav) {
    const std::string raw = wav + ".raw";
    Shell("sox " + wav + " -t raw -e signed-integer -b 16 " + raw);
    return testsupport::ReadFileBytes(raw);
}

std::vector<uint8_t> Data(TWaveStreamAdapter& w) {
    std::vector<uint8_t> out(w.DataSize());
    if (!w.BeginRead()) return {};
    const int32_t n = w.Read(out.data(), int32_t(out.size()));
    w.EndRead();
    out.resize(n < 0 ? 0 : size_t(n));
    return out;
}

std::vector<uint8_t> Bytes(TMemoryStream& s) {
    const auto* p = static_cast<const uint8_t*>(s.Memory());
    return {p, p + s.Size()};
}

using codectest::Wf;
std::vector<uint8_t> Codec(uint16_t tag, uint16_t channels, uint32_t rate) {
    return codectest::CodecRecord(tag, channels, rate);
}

// A stream that accepts writes only up to a fixed size, like a full disk.
class TLimitedStream : public TStream {
public:
    explicit TLimitedStream(int64_t limit) : fLimit(limit) {}
    int32_t Read(void* buffer, int32_t count) override {
        const int64_t n = std::max<int64_t>(0, std::min<int64_t>(count, int64_t(fData.size()) - fPos));
        std::memcpy(buffer, fData.data() + fPos, size_t(n));
        fPos += n;
        return int32_t(n);
    }
    int32_t Write(const void* buffer, int32_t count) override {
        const int64_t n = std::max<int64_t>(0, std::min<int64_t>(count, fLimit - fPos));
        if (fPos + n > int64_t(fData.size())) fData.resize(size_t(fPos + n));
        std::memcpy(fData.data() + fPos, buffer, size_t(n));
        fPos += n;
        return int32_t(n);
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        const int64_t base = origin == TSeekOrigin::soBeginning ? 0
                             : origin == TSeekOrigin::soCurrent ? fPos
                                                                : int64_t(fData.size());
        if (base + offset < 0) return -1;
        return fPos = base + offset;
    }
    void SetSize(int64_t n) override { fData.resize(size_t(n)); }
    std::vector<uint8_t> fData;

private:
    int64_t fLimit;
    int64_t fPos = 0;
};

}  // namespace

// ---------------------------------------------------------------- results

TEST(ConvertTo, SameFormatNoDataNoneAndUnreachableTargets) {
    TMemoryStream s;
    TWaveStreamAdapter w(&s);
    w.LoadFromFile(MonoSpeech(22050));
    ASSERT_TRUE(w.Valid());
    const std::vector<uint8_t> before = Bytes(s);
    Events ev;
    ev.Attach(w);

    // The current format: nothing to do, nothing fires.
    const tWAVEFORMATEX same = Pcm(Mono16bit22050Hz);
    EXPECT_TRUE(w.ConvertTo(&same));
    EXPECT_TRUE(w.ConvertToPCM(Mono16bit22050Hz));
    EXPECT_EQ(ev.changing + ev.change, 0);
    EXPECT_FALSE(w.ConvertToPCM(nonePCM));
    EXPECT_FALSE(w.ConvertTo(nullptr));

    // No converter reaches IMA ADPCM at another rate, directly or through PCM.
    const auto ima = Codec(WAVE_FORMAT_IMA_ADPCM, 1, 8000);
    EXPECT_FALSE(w.ConvertTo(Wf(ima)));
    // A record no converter understands.
    tWAVEFORMATEX mp3 = same;
    mp3.wFormatTag = 85;
    EXPECT_FALSE(w.ConvertTo(&mp3));
    EXPECT_EQ(Bytes(s), before);
    EXPECT_EQ(ev.changing + ev.change, 0);

    // A valid image without data.
    TMemoryStream e;
    TWaveStreamAdapter empty(&e);
    ASSERT_TRUE(empty.BeginRewritePCM(Stereo16bit44100Hz));
    ASSERT_TRUE(empty.EndRewrite());
    ASSERT_TRUE(empty.Valid());
    EXPECT_FALSE(empty.ConvertToPCM(Mono16bit22050Hz));
    EXPECT_EQ(empty.PCMFormat(), Stereo16bit44100Hz);

    // An open read keeps the content as it is.
    ASSERT_TRUE(w.BeginRead());
    EXPECT_FALSE(w.ConvertToPCM(Mono8bit11025Hz));
    w.EndRead();
    EXPECT_EQ(Bytes(s), before);
}

TEST(ConvertTo, StereoCdToMonoHalfRate) {
    for (bool onFile : {false, true}) {
        const std::string path = Dir().Path(onFile ? "cd-file.wav" : "cd-mem.wav");
        Shell("cp " + StereoSpeech(44100) + " " + path);
        TMemoryStream mem;
        TStream* stream = onFile ? static_cast<TStream*>(new TFileStream(path, fmOpenReadWrite | fmShareExclusive))
                                 : &mem;
        {
            TWaveStreamAdapter w(stream, onFile ? soOwned : soReference);
            if (!onFile) w.LoadFromFile(path);
            ASSERT_EQ(w.PCMFormat(), Stereo16bit44100Hz);
            const uint32_t ms = w.Length();
            Events ev;
            ev.Attach(w);
            ASSERT_TRUE(w.ConvertToPCM(Mono16bit22050Hz)) << onFile;
            EXPECT_EQ(ev.changing, 1);
            EXPECT_EQ(ev.change, 1);
            EXPECT_TRUE(w.Valid());
            EXPECT_EQ(w.PCMFormat(), Mono16bit22050Hz);
            EXPECT_EQ(w.DataSize() % 2, 0u);
            EXPECT_NEAR(double(w.Length()), double(ms), 2.0);
            if (!onFile) w.SaveToFile(path);
        }
        // sox sees the same.
        const std::string info = Shell("sox --i " + path);
        EXPECT_NE(info.find("Channels       : 1"), std::string::npos) << info;
        EXPECT_NE(info.find("Sample Rate    : 22050"), std::string::npos) << info;
        EXPECT_NE(info.find("16-bit Signed Integer PCM"), std::string::npos) << info;
    }
}

TEST(ConvertTo, ThroughPcmWhenNoConverterDoesItInOneStep) {
    // IMA ADPCM at 22050 Hz to 16-bit PCM at 8000 Hz: decode, then resample.
    TMemoryStream s;
    TWaveStreamAdapter w(&s);
    w.LoadFromFile(MonoSpeech(22050));
    const auto ima = Codec(WAVE_FORMAT_IMA_ADPCM, 1, 22050);
    ASSERT_TRUE(w.ConvertTo(Wf(ima)));
    ASSERT_TRUE(w.SameWaveFormat(Wf(ima)));
    const uint32_t ms = w.Length();
    ASSERT_TRUE(w.ConvertToPCM(Mono16bit8000Hz));
    EXPECT_EQ(w.PCMFormat(), Mono16bit8000Hz);
    EXPECT_NEAR(double(w.Length()), double(ms), 30.0);  // the last block was completed with silence

    // GSM 6.10 to stereo CD quality: decode to mono 8 kHz, then widen.
    ASSERT_TRUE(w.ConvertTo(Wf(Codec(WAVE_FORMAT_GSM610, 1, 8000))));
    ASSERT_TRUE(w.ConvertToPCM(Stereo16bit44100Hz));
    EXPECT_EQ(w.PCMFormat(), Stereo16bit44100Hz);
    const auto data = Data(w);
    ASSERT_GE(data.size(), 8u);
    // Both channels carry the same decoded speech.
    bool same = true, loud = false;
    for (size_t i = 0; i + 3 < data.size(); i += 4) {
        same = same && data[i] == data[i + 2] && data[i + 1] == data[i + 3];
        loud = loud || std::abs(int16_t(data[i] | data[i + 1] << 8)) > 1000;
    }
    EXPECT_TRUE(same);
    EXPECT_TRUE(loud);
}

TEST(ConvertTo, AShortWriteLeavesTheOldContent) {
    // The stream takes the old image but not the four times larger new one.
    TMemoryStream src;
    TWaveStreamAdapter orig(&src);
    orig.LoadFromFile(MonoSpeech(11025));
    const std::vector<uint8_t> image = Bytes(src);
    TLimitedStream limited(int64_t(image.size()) * 2);
    limited.Write(image.data(), int32_t(image.size()));
    TWaveStreamAdapter w(&limited);
    ASSERT_EQ(w.PCMFormat(), Mono16bit11025Hz);
    EXPECT_FALSE(w.ConvertToPCM(Stereo16bit22050Hz));
    EXPECT_EQ(w.PCMFormat(), Mono16bit11025Hz);
    EXPECT_TRUE(w.Equals(&orig));
}

// ---------------------------------------------------------------- sox

// Images we encode are read by sox, which decodes them to our samples.
TEST(ConvertToSox, SoxReadsWhatWeEncode) {
    struct Case {
        uint16_t tag;
        uint16_t channels;
        uint32_t rate;
        const char* soxEncoding;
    };
    const Case cases[] = {
        {WAVE_FORMAT_IMA_ADPCM, 2, 22050, "IMA ADPCM"}, {WAVE_FORMAT_IMA_ADPCM, 1, 8000, "IMA ADPCM"},
        {WAVE_FORMAT_ADPCM, 2, 11025, "MS ADPCM"},      {WAVE_FORMAT_ADPCM, 1, 44100, "MS ADPCM"},
        {WAVE_FORMAT_ALAW, 2, 22050, "A-law"},          {WAVE_FORMAT_MULAW, 1, 8000, "u-law"},
        {WAVE_FORMAT_GSM610, 1, 8000, "GSM"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.soxEncoding + std::string(" ") + std::to_string(c.channels) + "ch " + std::to_string(c.rate));
        TMemoryStream s;
        TWaveStreamAdapter w(&s);
        w.LoadFromFile(c.channels == 2 ? StereoSpeech(c.rate) : MonoSpeech(c.rate));
        const auto codec = Codec(c.tag, c.channels, c.rate);
        ASSERT_TRUE(w.ConvertTo(Wf(codec)));
        EXPECT_EQ(w.DataSize() % Wf(codec)->nBlockAlign, 0u);
        const std::string path = Dir().Path("ours-" + std::to_string(c.tag) + "-" + std::to_string(c.rate) + ".wav");
        w.SaveToFile(path);

        const std::string info = Shell("sox --i " + path);
        EXPECT_NE(info.find(c.soxEncoding), std::string::npos) << info;
        EXPECT_NE(info.find("Sample Rate    : " + std::to_string(c.rate)), std::string::npos) << info;
        EXPECT_NE(info.find("Channels       : " + std::to_string(c.channels)), std::string::npos) << info;

        const std::vector<uint8_t> theirs = SoxDecode(path);
        const tWAVEFORMATEX pcm = {1, c.channels, c.rate, c.rate * 2u * c.channels, uint16_t(2 * c.channels), 16, 0};
        ASSERT_TRUE(w.ConvertTo(&pcm));
        const std::vector<uint8_t> ours = Data(w);
        ASSERT_FALSE(ours.empty());
        EXPECT_EQ(ours, theirs);
    }
}

// Images sox encodes are decoded by ConvertToPCM to sox's own samples.
TEST(ConvertToSox, WeDecodeWhatSoxEncodes) {
    struct Case {
        const char* encoding;
        uint16_t channels;
        uint32_t rate;
        TPCMFormat pcm;
    };
    const Case cases[] = {
        {"ima-adpcm", 2, 22050, Stereo16bit22050Hz}, {"ima-adpcm", 1, 11025, Mono16bit11025Hz},
        {"ms-adpcm", 2, 44100, Stereo16bit44100Hz},  {"ms-adpcm", 1, 8000, Mono16bit8000Hz},
        {"a-law", 2, 11025, Stereo16bit11025Hz},     {"u-law", 1, 22050, Mono16bit22050Hz},
        {"gsm-full-rate", 1, 8000, Mono16bit8000Hz},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoding + std::string(" ") + std::to_string(c.channels) + "ch " + std::to_string(c.rate));
        const std::string path = Dir().Path(std::string("sox-") + c.encoding + "-" + std::to_string(c.rate) + ".wav");
        Shell("sox " + (c.channels == 2 ? StereoSpeech(c.rate) : MonoSpeech(c.rate)) + " -e " + c.encoding + " " +
              path);
        const std::vector<uint8_t> theirs = SoxDecode(path);
        ASSERT_GT(theirs.size(), 10000u);
        TMemoryStream s;
        TWaveStreamAdapter w(&s);
        w.LoadFromFile(path);
        ASSERT_TRUE(w.Valid());
        ASSERT_TRUE(w.ConvertToPCM(c.pcm));
        EXPECT_EQ(w.PCMFormat(), c.pcm);
        EXPECT_EQ(Data(w), theirs);
    }
}
