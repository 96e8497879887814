// The wave mapper on the simulated device: files that sox writes in the
// formats recorders, editors and codecs produce play through WAVE_MAPPER.
// What reaches the device equals sox's own conversion of the file to the
// device's format within the codec's error, and position, pause, reset and
// the end of the data count in the file's own format as for plain PCM.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/sim/SimWaveBackend.h"
#include "tests/platform/wavedev/WaveDevTestUtil.h"
#include "tests/support/Files.h"
#include "tests/support/ScratchDir.h"

namespace orvant::test {
namespace {

using testsupport::ReadFileBytes;
using testsupport::RunCommand;
using testsupport::TScratchDir;

constexpr UINT kHdr = sizeof(WAVEHDR);

// The format record and the data of a RIFF WAVE file.
struct TWaveFile {
    std::vector<uint8_t> fmt;
    std::vector<char> data;
};

TWaveFile ReadWave(const std::string& path) {
    const std::vector<uint8_t> b = ReadFileBytes(path);
    TWaveFile w;
    auto u32 = [&](size_t at) { return uint32_t(b[at]) | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; };
    for (size_t at = 12; at + 8 <= b.size();) {
        const uint32_t size = u32(at + 4);
        const size_t end = std::min(b.size(), at + 8 + size);
        if (std::memcmp(&b[at], "fmt ", 4) == 0) w.fmt.assign(b.begin() + at + 8, b.begin() + end);
        if (std::memcmp(&b[at], "data", 4) == 0) w.data.assign(b.begin() + at + 8, b.begin() + end);
        at += 8 + size + (size & 1);
    }
    if (w.fmt.size() < sizeof(WAVEFORMATEX)) w.fmt.resize(sizeof(WAVEFORMATEX), 0);
    return w;
}

const WAVEFORMATEX& Head(const std::vector<uint8_t>& r) { return *reinterpret_cast<const WAVEFORMATEX*>(r.data()); }

struct TMapperCase {
    const char* name;
    const char* synth;    // sox's source: rate and channels of a signal
    const char* encode;   // sox's options for the file
    uint32_t deviceRate;  // 0: the default device (PCM 8/16 bits, 1-2 channels)
    uint16_t deviceChannels;  // what the device plays (16-bit PCM)
    const char* remix;    // sox's effect for the reference, if any
    double tolerance;     // RMS of the difference from sox's conversion, relative to full scale
    uint32_t samplesPerBlock;
};

constexpr const char* kStereo = "-r 22050 -c 2 -n | synth 1 sine 440 sine 660 vol 0.5";
constexpr const char* kMono = "-r 22050 -c 1 -n | synth 1 sine 440 vol 0.5";

const TMapperCase kCases[] = {
    {"Pcm16PassesThrough", kStereo, "-b 16", 0, 2, "", 0, 1},
    {"Pcm24Extensible", kStereo, "-b 24", 0, 2, "", 1e-5, 1},
    {"Pcm32Extensible", kStereo, "-b 32", 0, 2, "", 1e-5, 1},
    {"Float32", kStereo, "-e floating-point -b 32", 0, 2, "", 1e-5, 1},
    {"MuLaw", kMono, "-e u-law", 0, 1, "", 1e-5, 1},
    {"ALaw", kMono, "-e a-law", 0, 1, "", 1e-5, 1},
    {"ImaAdpcm", kStereo, "-e ima-adpcm", 0, 2, "", 1e-5, 505},
    {"MsAdpcm", kMono, "-e ms-adpcm", 0, 1, "", 1e-5, 1012},
    {"Gsm610", "-r 8000 -c 1 -n | synth 1 sine 440 vol 0.5", "-e gsm-full-rate", 0, 1, "", 1e-5, 320},
    {"SixChannelsDownMixed", "-r 22050 -c 6 -n | synth 1 sine 300 sine 400 sine 500 sine 600 sine 700 sine 800 vol 0.5",
     "-b 16", 0, 2, "remix 1v0.414214,3v0.292893,5v0.292893 2v0.414214,3v0.292893,6v0.292893", 1e-5, 1},
    {"RateConverted", "-r 44100 -c 2 -n | synth 1 sine 440 sine 660 vol 0.5", "-b 16", 48000, 2, "", 1e-4, 1},
};

void PrintTo(const TMapperCase& c, std::ostream* os) { *os << c.name; }

class WaveDevMapper : public ::testing::TestWithParam<TMapperCase> {
protected:
    std::shared_ptr<TSimWaveBackend> sim = std::make_shared<TSimWaveBackend>();
    TWaveBackendInstall install{sim};
    TScratchDir dir{"orvant-mapper"};
};

DWORD Position(HWAVEOUT h, UINT type) {
    MMTIME t{};
    t.wType = type;
    EXPECT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    return type == TIME_MS ? t.u.ms : type == TIME_SAMPLES ? t.u.sample : t.u.cb;
}

TEST_P(WaveDevMapper, PlaysConvertedWithTheSourcesTimeline) {
    const TMapperCase& c = GetParam();
    const std::string file = dir / "sample.wav", ref = dir / "ref.raw";
    int rc = 0;
    const std::string synth = c.synth, input = synth.substr(0, synth.find('|'));
    RunCommand("sox " + input + " " + c.encode + " " + file + " " + synth.substr(synth.find('|') + 1) + " 2>&1", &rc);
    ASSERT_EQ(rc, 0) << "sox could not write " << c.name;
    const TWaveFile w = ReadWave(file);
    const WAVEFORMATEX& src = Head(w.fmt);
    const uint32_t rate = c.deviceRate ? c.deviceRate : src.nSamplesPerSec;
    RunCommand("sox -D " + file + " -t raw -e signed-integer -b 16 -c " + std::to_string(c.deviceChannels) + " -r " +
                   std::to_string(rate) + " " + ref + " " + c.remix + " 2>&1",
               &rc);
    ASSERT_EQ(rc, 0);
    if (c.deviceRate)
        sim->SetFormatFilter([&](const WAVEFORMATEX& f) {
            return f.wFormatTag == WAVE_FORMAT_PCM && f.wBitsPerSample == 16 && f.nSamplesPerSec == c.deviceRate;
        });

    const auto* record = reinterpret_cast<const WAVEFORMATEX*>(w.fmt.data());
    ASSERT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, record, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    TLoggedThread t;
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, record, t.Handle(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);

    // Two headers split on a block boundary.
    const size_t blocks = w.data.size() / src.nBlockAlign;
    const size_t half = blocks / 2 * src.nBlockAlign;
    TBuffer a(std::vector<char>(w.data.begin(), w.data.begin() + long(half)));
    TBuffer b(std::vector<char>(w.data.begin() + long(half), w.data.begin() + long(blocks * src.nBlockAlign)));
    for (TBuffer* x : {&a, &b}) {
        ASSERT_EQ(waveOutPrepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    }
    // The position counts the source's samples, to within one of its blocks.
    const double blockMs = 1000.0 * c.samplesPerBlock / src.nSamplesPerSec;
    sim->Advance(250);
    EXPECT_NEAR(Position(h, TIME_MS), 250.0, blockMs + 1);
    EXPECT_EQ(Position(h, TIME_SAMPLES) % c.samplesPerBlock, 0u);
    // Paused, nothing plays and nothing comes back.
    ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
    const DWORD pausedAt = Position(h, TIME_BYTES);
    const size_t playedBefore = sim->OutputBytes().size();
    sim->Advance(3000);
    EXPECT_EQ(Position(h, TIME_BYTES), pausedAt);
    EXPECT_EQ(sim->OutputBytes().size(), playedBefore);
    EXPECT_EQ(t.log.Count(MM_WOM_DONE), 0u);
    ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
    // The first header comes back once its half has played, the second at
    // the end of the data; the device then stands at the source's end.
    for (int i = 0; i < 40 && t.log.Count(MM_WOM_DONE) < 2; ++i) {
        sim->Advance(100);
        WaitWhileDispatching([&] { return t.log.Count(MM_WOM_DONE) >= 2; }, 50);
    }
    ASSERT_EQ(t.log.Count(MM_WOM_DONE), 2u);
    EXPECT_EQ(t.log.Log()[1].hdr, &a.hdr);
    EXPECT_EQ(Position(h, TIME_BYTES), blocks * src.nBlockAlign);
    EXPECT_EQ(Position(h, TIME_SAMPLES), blocks * c.samplesPerBlock);

    // What the device played: sox's conversion of the file, within the error.
    const std::vector<uint8_t> out = sim->OutputBytes();
    const std::vector<uint8_t> expected = ReadFileBytes(ref);
    const size_t n = std::min(out.size(), expected.size()) / 2;
    EXPECT_NEAR(double(out.size()), double(expected.size()), c.deviceRate ? 64.0 * c.deviceChannels : 0.0);
    double err = 0;
    for (size_t i = 0; i < n; ++i) {
        int16_t x, y;
        std::memcpy(&x, &out[2 * i], 2);
        std::memcpy(&y, &expected[2 * i], 2);
        err += double(x - y) * double(x - y);
    }
    EXPECT_LE(std::sqrt(err / double(std::max<size_t>(n, 1))) / 32768.0, c.tolerance) << c.name;

    // A stop (reset) mid-way returns the header and starts the count afresh.
    ASSERT_EQ(waveOutWrite(h, &a.hdr, kHdr), MMSYSERR_NOERROR);
    sim->Advance(100);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(Position(h, TIME_BYTES), 0u);
    ASSERT_TRUE(t.log.WaitFor(4));  // open, two done, and the reset one
    for (TBuffer* x : {&a, &b}) ASSERT_EQ(waveOutUnprepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

INSTANTIATE_TEST_SUITE_P(Formats, WaveDevMapper, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// What no converter reads is refused on the mapper, and a device chosen by
// number takes only what the backend takes, as before.
TEST(WaveDevMapperRefusal, UnreadableFormatsAndNumberedDevices) {
    auto sim = std::make_shared<TSimWaveBackend>();
    TWaveBackendInstall install(sim);
    TScratchDir dir("orvant-mapper");
    int rc = 0;
    RunCommand("sox -r 22050 -n -e floating-point -b 64 " + (dir / "f64.wav") + " synth 0.1 sine 440 2>&1", &rc);
    ASSERT_EQ(rc, 0);
    RunCommand("sox -r 22050 -n -e ima-adpcm " + (dir / "ima.wav") + " synth 0.1 sine 440 2>&1", &rc);
    ASSERT_EQ(rc, 0);
    const TWaveFile f64 = ReadWave(dir / "f64.wav"), ima = ReadWave(dir / "ima.wav");
    auto query = [](const std::vector<uint8_t>& fmt, UINT id) {
        return waveOutOpen(nullptr, id, reinterpret_cast<const WAVEFORMATEX*>(fmt.data()), 0, 0, WAVE_FORMAT_QUERY);
    };
    EXPECT_EQ(query(f64.fmt, WAVE_MAPPER), WAVERR_BADFORMAT);
    EXPECT_EQ(query(ima.fmt, WAVE_MAPPER), MMSYSERR_NOERROR);
    EXPECT_EQ(query(ima.fmt, 0), WAVERR_BADFORMAT);
    // An extensible record of another kind of data, or cut short.
    std::vector<uint8_t> ext(40, 0);
    auto& e = *reinterpret_cast<WAVEFORMATEX*>(ext.data());
    e = Pcm(22050, 2, 16);
    e.wFormatTag = 0xFFFE;
    e.cbSize = 22;
    ext[24] = 1;  // KSDATAFORMAT_SUBTYPE_PCM
    const uint8_t tail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
    std::memcpy(&ext[28], tail, 12);
    EXPECT_EQ(query(ext, WAVE_MAPPER), MMSYSERR_NOERROR);
    EXPECT_EQ(query(ext, 0), WAVERR_BADFORMAT);
    ext[24] = 0x55;
    EXPECT_EQ(query(ext, WAVE_MAPPER), WAVERR_BADFORMAT);
    ext[24] = 1;
    e.cbSize = 10;
    EXPECT_EQ(query(ext, WAVE_MAPPER), WAVERR_BADFORMAT);
    // Nothing the device takes: refused, nothing left open.
    sim->SetFormatFilter([](const WAVEFORMATEX&) { return false; });
    EXPECT_EQ(query(ima.fmt, WAVE_MAPPER), WAVERR_BADFORMAT);
    HWAVEOUT h = nullptr;
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, reinterpret_cast<const WAVEFORMATEX*>(ima.fmt.data()), 0, 0, 0),
              WAVERR_BADFORMAT);
    EXPECT_EQ(sim->OpenStreams(), 0);
}

}  // namespace
}  // namespace orvant::test
