// The wave-device layer on ALSA's own plugins. The test's environment points
// ALSA_CONFIG_PATH at a configuration in the build tree with a null device
// (also the default), a file device for playback, a file device for capture
// and a hw device of a card that does not exist.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/alsa/AlsaWaveBackend.h"
#include "tests/platform/wavedev/WaveDevTestUtil.h"

namespace orvant::test {
namespace {

constexpr UINT kHdr = sizeof(WAVEHDR);
const std::string kDir = WAVEDEV_ALSA_DIR;

std::vector<char> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), {});
}

class WaveDevAlsa : public ::testing::Test {
protected:
    std::shared_ptr<TAlsaWaveBackend> alsa = std::make_shared<TAlsaWaveBackend>();
    TWaveBackendInstall install{alsa};
    std::unique_ptr<TLoggedThread> cb = std::make_unique<TLoggedThread>();
    TMessageLog& log = cb->log;
    TCallbackThread* thread = cb->thread;
    WAVEFORMATEX fmt = Stereo16bit22050Hz();

    void TearDown() override {
        cb.reset();
        EXPECT_EQ(OpenWaveDeviceCount(), 0);
    }
    UINT Id(TWaveDirection dir, const std::string& name) {
        auto names = alsa->DeviceNames(dir);
        auto it = std::find(names.begin(), names.end(), name);
        EXPECT_NE(it, names.end()) << name;
        return static_cast<UINT>(it - names.begin());
    }
};

TEST_F(WaveDevAlsa, DevicesComeFromTheHintsWithDefaultFirst) {
    auto out = alsa->DeviceNames(TWaveDirection::wdOutput);
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(out[0], "default");
    EXPECT_EQ(std::count(out.begin(), out.end(), "default"), 1);
    EXPECT_EQ(waveOutGetNumDevs(), out.size());
    WAVEOUTCAPSW oc{};
    ASSERT_EQ(waveOutGetDevCapsW(Id(TWaveDirection::wdOutput, "fileout"), &oc, sizeof oc), MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(oc.szPname), u"fileout");
    EXPECT_EQ(oc.dwSupport, static_cast<DWORD>(WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE));
    EXPECT_TRUE(oc.dwFormats & WAVE_FORMAT_2S16);
    EXPECT_TRUE(oc.dwFormats & WAVE_FORMAT_4M08);
    ASSERT_EQ(waveOutGetDevCapsW(WAVE_MAPPER, &oc, sizeof oc), MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(oc.szPname), u"default");
    EXPECT_EQ(waveOutGetDevCapsW(out.size(), &oc, sizeof oc), MMSYSERR_BADDEVICEID);
}

TEST_F(WaveDevAlsa, AMissingCardIsReportedWithAlsasText) {
    const UINT id = Id(TWaveDirection::wdOutput, "nocard");
    const MMRESULT r = waveOutOpen(nullptr, id, &fmt, 0, 0, WAVE_FORMAT_QUERY);
    EXPECT_NE(r, MMSYSERR_NOERROR);
    char16_t text[MAXERRORLENGTH];
    ASSERT_EQ(waveOutGetErrorTextW(r, text, MAXERRORLENGTH), MMSYSERR_NOERROR);
    EXPECT_NE(std::u16string(text).find(u"ALSA nocard: "), std::u16string::npos);
    HWAVEOUT h = nullptr;
    EXPECT_EQ(waveOutOpen(&h, id, &fmt, 0, 0, 0), r);
    EXPECT_EQ(h, nullptr);
}

TEST_F(WaveDevAlsa, NullDeviceOpensQueuesResetsAndClosesWithMessagesInOrder) {
    ASSERT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &fmt, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, Id(TWaveDirection::wdOutput, "null"), &fmt, thread->Handle(), 0, CALLBACK_THREAD),
              MMSYSERR_NOERROR);
    TBuffer a(88200), b(88200), c(88200);
    for (TBuffer* x : {&a, &b, &c}) {
        ASSERT_EQ(waveOutPrepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    MMTIME t{};
    t.wType = TIME_MS;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.ms, 0u);
    ASSERT_TRUE(log.WaitFor(4));
    for (TBuffer* x : {&a, &b, &c}) {
        EXPECT_TRUE(x->hdr.dwFlags & WHDR_DONE);
        ASSERT_EQ(waveOutUnprepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(waveOutSetPitch(h, 0x10000), MMSYSERR_NOTSUPPORTED);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(5));
    auto l = log.Log();
    EXPECT_EQ(log.Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_DONE, MM_WOM_DONE, MM_WOM_CLOSE}));
    EXPECT_EQ(l[1].hdr, &a.hdr);
    EXPECT_EQ(l[2].hdr, &b.hdr);
    EXPECT_EQ(l[3].hdr, &c.hdr);
}

TEST_F(WaveDevAlsa, FileDeviceReceivesThePlayedBytesUnchanged) {
    std::remove((kDir + "/played.raw").c_str());
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, Id(TWaveDirection::wdOutput, "fileout"), &fmt, thread->Handle(), 0, CALLBACK_THREAD),
              MMSYSERR_NOERROR);
    TBuffer a(Pattern(17640, 7)), b(Pattern(17640, 8)), c(Pattern(8820, 9));
    for (TBuffer* x : {&a, &b, &c}) {
        ASSERT_EQ(waveOutPrepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(log.WaitFor(4, 60000));
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(5));
    const std::vector<char> all = Concat({&a, &b, &c});
    EXPECT_EQ(ReadFile(kDir + "/played.raw"), all);
}

TEST_F(WaveDevAlsa, FileDeviceCapturesThePreparedInput) {
    const std::vector<char> input = Pattern(2 * 88200, 11);
    {
        std::ofstream f(kDir + "/capture.raw", std::ios::binary | std::ios::trunc);
        f.write(input.data(), static_cast<std::streamsize>(input.size()));
    }
    HWAVEIN h = nullptr;
    ASSERT_EQ(waveInOpen(&h, Id(TWaveDirection::wdInput, "filein"), &fmt, thread->Handle(), 0, CALLBACK_THREAD),
              MMSYSERR_NOERROR);
    // Two half-second buffers, each queued again as it comes back until two
    // seconds are asked for, as a recorder does.
    std::vector<char> recorded;
    int requeued = 0;
    log.onMessage = [&](const TLogged& e) {
        if (e.msg != MM_WIM_DATA) return;
        recorded.insert(recorded.end(), e.hdr->lpData, e.hdr->lpData + e.bytes);
        if (requeued < 2 && waveInAddBuffer(h, e.hdr, kHdr) == MMSYSERR_NOERROR) ++requeued;
    };
    TBuffer a(44100), b(44100);
    for (TBuffer* x : {&a, &b}) {
        ASSERT_EQ(waveInPrepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(5, 60000));
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(6));
    EXPECT_EQ(log.Messages(),
              (std::vector<UINT>{MM_WIM_OPEN, MM_WIM_DATA, MM_WIM_DATA, MM_WIM_DATA, MM_WIM_DATA, MM_WIM_CLOSE}));
    ASSERT_EQ(recorded.size(), input.size());
    const auto diff = std::mismatch(recorded.begin(), recorded.end(), input.begin());
    EXPECT_EQ(diff.first - recorded.begin(), static_cast<std::ptrdiff_t>(input.size()));
}

}  // namespace
}  // namespace orvant::test
