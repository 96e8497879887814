// The wave-device layer on ALSA's pulse plugin, against a PulseAudio daemon
// started here with a null sink (its monitor is the default source): a
// device that plays and captures in real time. Skipped where PulseAudio or
// the plugin is not installed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/alsa/AlsaWaveBackend.h"
#include "tests/platform/wavedev/WaveDevTestUtil.h"

extern char** environ;

namespace orvant::test {
namespace {

constexpr UINT kHdr = sizeof(WAVEHDR);
const std::string kDir = WAVEDEV_PULSE_DIR;

class WaveDevPulse : public ::testing::Test {
protected:
    static pid_t daemon_;

    static void SetUpTestSuite() {
        if (access("/usr/bin/pulseaudio", X_OK) != 0 ||
            access(WAVEDEV_PULSE_PLUGIN, R_OK) != 0)
            return;
        std::filesystem::create_directories(kDir + "/run");
        // A socket left by a daemon that did not end cleanly would pass for
        // the new one before it listens.
        std::filesystem::remove(kDir + "/run/pulse/native");
        chmod((kDir + "/run").c_str(), 0700);
        std::vector<std::string> args = {"/usr/bin/pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                         "--load=module-null-sink sink_name=sink",
                                         "--load=module-native-protocol-unix"};
        if (geteuid() == 0) args.push_back("--system=no");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (kDir + "/daemon.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        if (posix_spawn(&daemon_, argv[0], &fa, nullptr, argv.data(), environ) != 0) daemon_ = 0;
        posix_spawn_file_actions_destroy(&fa);
        // Ready once its socket exists.
        for (int i = 0; i < 600 && daemon_ && !std::filesystem::exists(kDir + "/run/pulse/native"); ++i) usleep(50000);
    }
    static void TearDownTestSuite() {
        if (daemon_) {
            kill(daemon_, SIGTERM);
            waitpid(daemon_, nullptr, 0);
            daemon_ = 0;
        }
    }

    std::shared_ptr<TAlsaWaveBackend> alsa = std::make_shared<TAlsaWaveBackend>();
    TWaveBackendInstall install{alsa};
    std::unique_ptr<TLoggedThread> cb;
    TCallbackThread* thread = nullptr;
    WAVEFORMATEX fmt = Stereo16bit22050Hz();

    void SetUp() override {
        if (!daemon_ || !std::filesystem::exists(kDir + "/run/pulse/native")) GTEST_SKIP() << "no PulseAudio here";
        cb = std::make_unique<TLoggedThread>();
        thread = cb->thread;
    }
    void TearDown() override {
        if (!cb) return;
        cb.reset();
        EXPECT_EQ(OpenWaveDeviceCount(), 0);
    }
    TMessageLog& Log() { return cb->log; }
};
pid_t WaveDevPulse::daemon_ = 0;

TEST_F(WaveDevPulse, PlaysInRealTimeAndReturnsBuffersInOrder) {
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &fmt, thread->Handle(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    TBuffer a(17640), b(17640), c(8820);
    for (TBuffer* x : {&a, &b, &c}) {
        ASSERT_EQ(waveOutPrepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(Log().WaitFor(4, 120000));
    MMTIME t{};
    t.wType = TIME_BYTES;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.cb, 17640u * 2 + 8820u);  // everything played, nothing more
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(Log().WaitFor(5));
    EXPECT_EQ(Log().Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_DONE, MM_WOM_DONE, MM_WOM_CLOSE}));
}

TEST_F(WaveDevPulse, CapturesFullBuffersAndClosesPromptlyWhenReset) {
    HWAVEIN h = nullptr;
    ASSERT_EQ(waveInOpen(&h, WAVE_MAPPER, &fmt, thread->Handle(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    TBuffer a(17640, 1), b(17640, 1);
    Log().onMessage = [&](const TLogged& e) {
        if (e.msg == MM_WIM_DATA && Log().Count(MM_WIM_DATA) < 3) waveInAddBuffer(h, e.hdr, kHdr);
    };
    for (TBuffer* x : {&a, &b}) {
        ASSERT_EQ(waveInPrepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(Log().WaitFor(4, 120000));  // open and three full buffers
    auto l = Log().Log();
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(l[i].bytes, 17640u);
    // The null sink's monitor hears silence.
    EXPECT_TRUE(std::all_of(a.data.begin(), a.data.end(), [](char c) { return c == 0; }));
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(Log().WaitFor(6));
    EXPECT_EQ(Log().Messages().back(), static_cast<UINT>(MM_WIM_CLOSE));
}

// Last: the sound server goes away in the middle of a capture, as an
// unplugged device would. Every buffer comes back with what it holds, and the
// device then refuses buffers with a text a speaker understands.
TEST_F(WaveDevPulse, ASoundServerThatGoesAwayEndsTheCaptureWithAPlainText) {
    HWAVEIN h = nullptr;
    ASSERT_EQ(waveInOpen(&h, WAVE_MAPPER, &fmt, thread->Handle(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
    TBuffer a(88200, 1), b(88200, 1);
    for (TBuffer* x : {&a, &b}) {
        ASSERT_EQ(waveInPrepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    // The capture has run for 0.3 s by the device's clock, before the idle
    // sink's monitor has delivered anything. (Ended while the client library
    // holds delivered sound, the server can leave the plugin's read waiting
    // for ever on the library's lock, which its own thread, tearing the
    // connection down, holds while it waits for that sound to be let go.)
    const auto running = [&] {
        MMTIME t{};
        t.wType = TIME_BYTES;
        return waveInGetPosition(h, &t, sizeof t) == MMSYSERR_NOERROR && t.u.cb >= fmt.nAvgBytesPerSec * 3 / 10;
    };
    ASSERT_EQ(WaitWhileDispatching(running, 60000), static_cast<DWORD>(WAIT_OBJECT_0)) << "the capture never ran";
    kill(daemon_, SIGTERM);
    waitpid(daemon_, nullptr, 0);
    daemon_ = 0;
    ASSERT_TRUE(Log().WaitFor(3, 60000));  // open and both buffers back
    const MMRESULT r = waveInAddBuffer(h, &a.hdr, kHdr);
    ASSERT_NE(r, MMSYSERR_NOERROR);
    char16_t text[MAXERRORLENGTH] = {};
    ASSERT_EQ(waveInGetErrorTextW(r, text, MAXERRORLENGTH), MMSYSERR_NOERROR);
    const std::u16string t(text);
    EXPECT_EQ(t.rfind(u"The sound device stopped working", 0), 0u);
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(Log().WaitFor(4));
}

}  // namespace
}  // namespace orvant::test
