// The wave-device layer on the simulated device: message order, reset,
// dwBytesRecorded, positions, loops, pause, volume, capabilities, error texts
// and faults.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/WaveDevInternal.h"
#include "platform/wavedev/sim/SimWaveBackend.h"
#include "tests/platform/wavedev/WaveDevTestUtil.h"

namespace orvant::test {
namespace {

constexpr UINT kHdr = sizeof(WAVEHDR);

class WaveDevSim : public ::testing::Test {
protected:
    std::shared_ptr<TSimWaveBackend> sim = std::make_shared<TSimWaveBackend>();
    std::unique_ptr<TWaveBackendInstall> install = std::make_unique<TWaveBackendInstall>(sim);
    TMessageLog log;
    TCallbackThread* thread = nullptr;
    TCallbackWindow* window = nullptr;
    WAVEFORMATEX fmt = Stereo16bit22050Hz();

    void TearDown() override {
        if (thread) {
            thread->Quit();
            WaitWhileDispatching([&] { return thread->Finished(); }, 20000);
            thread->Release();
        }
        if (window) window->Destroy();
        EXPECT_EQ(OpenWaveDeviceCount(), 0);
    }

    DWORD_PTR Thread() {
        thread = TCallbackThread::Start([this](UINT m, DWORD_PTR w, DWORD_PTR l) { log.Handle(m, w, l); });
        return thread->Handle();
    }
    DWORD_PTR Window() {
        window = TCallbackWindow::Create([this](UINT m, DWORD_PTR w, DWORD_PTR l) { log.Handle(m, w, l); });
        return window->Handle();
    }

    HWAVEIN OpenIn(DWORD_PTR cb, DWORD flags) {
        HWAVEIN h = nullptr;
        EXPECT_EQ(waveInOpen(&h, WAVE_MAPPER, &fmt, cb, 0, flags), MMSYSERR_NOERROR);
        return h;
    }
    HWAVEOUT OpenOut(DWORD_PTR cb, DWORD flags) {
        HWAVEOUT h = nullptr;
        EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &fmt, cb, 0, flags), MMSYSERR_NOERROR);
        return h;
    }
    void Play(HWAVEOUT h, TBuffer& b) {
        ASSERT_EQ(waveOutPrepareHeader(h, &b.hdr, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, &b.hdr, kHdr), MMSYSERR_NOERROR);
    }
    DWORD PosMs(HWAVEOUT h) {
        MMTIME t{};
        t.wType = TIME_MS;
        EXPECT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
        EXPECT_EQ(t.wType, static_cast<UINT>(TIME_MS));
        return t.u.ms;
    }
};

// A recording in the engine's way: two one-second buffers queued again as
// they come back, stopped after 2.5 s.
TEST_F(WaveDevSim, RecordingDeliversElapsedBytesAndResetReturnsThePartialBuffer) {
    std::vector<char> source = Pattern(6 * 88200, 1);
    sim->SetInputRaw(std::vector<uint8_t>(source.begin(), source.end()));
    std::vector<char> recorded;
    bool requeue = true;
    HWAVEIN h = nullptr;
    log.onMessage = [&](const TLogged& e) {
        if (e.msg != MM_WIM_DATA) return;
        EXPECT_TRUE(e.flags & WHDR_DONE);
        EXPECT_FALSE(e.flags & WHDR_INQUEUE);
        recorded.insert(recorded.end(), e.hdr->lpData, e.hdr->lpData + e.bytes);
        if (requeue) {
            EXPECT_EQ(waveInAddBuffer(h, e.hdr, kHdr), MMSYSERR_NOERROR);
        }
    };
    h = OpenIn(Window(), CALLBACK_WINDOW);
    TBuffer a(88200), b(88200);
    for (TBuffer* x : {&a, &b}) {
        ASSERT_EQ(waveInPrepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
        EXPECT_TRUE(x->hdr.dwFlags & WHDR_PREPARED);
        ASSERT_EQ(waveInAddBuffer(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    sim->Advance(2500);
    ASSERT_TRUE(log.WaitFor(3));  // open, two full buffers
    MMTIME t{};
    t.wType = TIME_BYTES;
    ASSERT_EQ(waveInGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.cb, 220500u);
    requeue = false;
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(5));
    ASSERT_EQ(waveInUnprepareHeader(h, &a.hdr, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInUnprepareHeader(h, &b.hdr, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(6));
    auto l = log.Log();
    ASSERT_EQ(log.Messages(), (std::vector<UINT>{MM_WIM_OPEN, MM_WIM_DATA, MM_WIM_DATA, MM_WIM_DATA, MM_WIM_DATA,
                                                 MM_WIM_CLOSE}));
    EXPECT_EQ(l[1].bytes, 88200u);
    EXPECT_EQ(l[2].bytes, 88200u);
    EXPECT_EQ(l[3].bytes, 44100u);  // the partly filled buffer
    EXPECT_EQ(l[4].bytes, 0u);      // the empty one behind it
    EXPECT_EQ(l[1].hdr, &a.hdr);
    EXPECT_EQ(l[2].hdr, &b.hdr);
    EXPECT_EQ(l[3].hdr, &a.hdr);
    EXPECT_EQ(l[4].hdr, &b.hdr);
    ASSERT_EQ(recorded.size(), 220500u);
    EXPECT_TRUE(std::equal(recorded.begin(), recorded.end(), source.begin()));
    EXPECT_EQ(l[0].handle, reinterpret_cast<DWORD_PTR>(h));
    // The handle is gone.
    EXPECT_EQ(waveInStart(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(h), MMSYSERR_INVALHANDLE);
}

TEST_F(WaveDevSim, StopReturnsThePartialBufferAndKeepsTheEmptyOnes) {
    sim->SetInputSine(1000, 0.5);
    HWAVEIN h = OpenIn(Thread(), CALLBACK_THREAD);
    TBuffer a(88200), b(88200);
    for (TBuffer* x : {&a, &b}) {
        ASSERT_EQ(waveInPrepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    }
    sim->Advance(500);  // not started: nothing is captured
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    sim->Advance(200);
    ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(2));
    EXPECT_EQ(log.Log()[1].bytes, 17640u);
    EXPECT_EQ(waveInClose(h), WAVERR_STILLPLAYING);  // b is still queued
    sim->Advance(1000);  // stopped: nothing more
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    sim->Advance(1000);
    ASSERT_TRUE(log.WaitFor(3));
    EXPECT_EQ(log.Log()[2].hdr, &b.hdr);
    EXPECT_EQ(log.Log()[2].bytes, 88200u);
    // The sine reached the buffer.
    int16_t peak = 0;
    for (size_t i = 0; i < 88200 / 2; ++i) {
        int16_t s;
        std::memcpy(&s, b.data.data() + i * 2, 2);
        peak = std::max(peak, s);
    }
    EXPECT_NEAR(peak, 16384, 50);
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(4));
    EXPECT_EQ(log.Messages().back(), static_cast<UINT>(MM_WIM_CLOSE));
}

// Two and a half buffers play in 2.5 s; each comes back once it has played.
// Through a sound server frames reach the reader a latency after their
// capture: a stop or a reset collects those captured before it, and none
// captured after it, while the device's clock goes on.
TEST_F(WaveDevSim, StopAndResetCollectWhatWasCapturedBeforeThemAndNoMore) {
    sim->SetInputLatencyMs(300);
    std::vector<char> source = Pattern(8 * 88200, 3);
    sim->SetInputRaw(std::vector<uint8_t>(source.begin(), source.end()));
    HWAVEIN h = OpenIn(Thread(), CALLBACK_THREAD);
    TBuffer a(2 * 88200), b(2 * 88200);
    for (TBuffer* x : {&a, &b}) {
        ASSERT_EQ(waveInPrepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    }
    auto whileTimeGoesOn = [&](auto call) {
        std::atomic<bool> done{false};
        std::thread clock([&] {
            while (!done) {
                sim->Advance(10);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        const MMRESULT r = call();
        done = true;
        clock.join();
        return r;
    };
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    sim->Advance(700);
    ASSERT_EQ(whileTimeGoesOn([&] { return waveInStop(h); }), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(2));
    // 700 ms (not the 400 ms readable at the stop), and not the 300 ms that
    // arrive meanwhile: the clock may tick once or twice before the stop.
    const DWORD got = log.Log()[1].bytes;
    EXPECT_GE(got, 61740u);
    EXPECT_LT(got, 61740u + 8820u);
    EXPECT_TRUE(std::equal(a.data.begin(), a.data.begin() + got, source.begin()));
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    sim->Advance(500);
    ASSERT_EQ(whileTimeGoesOn([&] { return waveInReset(h); }), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(3));
    EXPECT_EQ(log.Log()[2].hdr, &b.hdr);
    EXPECT_GE(log.Log()[2].bytes, 44100u);
    EXPECT_LT(log.Log()[2].bytes, 44100u + 8820u);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(4));
}

TEST_F(WaveDevSim, PlaybackReturnsBuffersWhenPlayedAndKeepsTheirTime) {
    HWAVEOUT h = OpenOut(Thread(), CALLBACK_THREAD);
    ASSERT_TRUE(log.WaitFor(1));
    TBuffer a(Pattern(88200, 1)), b(Pattern(88200, 2)), c(Pattern(44100, 3));
    Play(h, a);
    Play(h, b);
    Play(h, c);
    EXPECT_TRUE(a.hdr.dwFlags & WHDR_INQUEUE);
    sim->Advance(500);
    EXPECT_EQ(PosMs(h), 500u);
    EXPECT_EQ(log.Count(MM_WOM_DONE), 0u);
    sim->Advance(500);
    ASSERT_TRUE(log.WaitFor(2));
    sim->Advance(1000);
    ASSERT_TRUE(log.WaitFor(3));
    EXPECT_EQ(log.Count(MM_WOM_DONE), 2u);
    sim->Advance(600);
    ASSERT_TRUE(log.WaitFor(4));
    EXPECT_EQ(PosMs(h), 2500u);  // ran dry after the last frame
    EXPECT_TRUE(c.hdr.dwFlags & WHDR_DONE);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(5));
    auto l = log.Log();
    EXPECT_EQ(log.Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_DONE, MM_WOM_DONE, MM_WOM_CLOSE}));
    EXPECT_EQ(l[1].hdr, &a.hdr);
    EXPECT_EQ(l[2].hdr, &b.hdr);
    EXPECT_EQ(l[3].hdr, &c.hdr);
    auto blocks = sim->OutputBlocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].timeUs, 0u);
    EXPECT_EQ(blocks[1].timeUs, 1000000u);
    EXPECT_EQ(blocks[2].timeUs, 2000000u);
    EXPECT_EQ(std::vector<char>(blocks[1].bytes.begin(), blocks[1].bytes.end()), b.data);
    const std::vector<char> all = Concat({&a, &b, &c});
    auto out = sim->OutputBytes();
    EXPECT_EQ(std::vector<char>(out.begin(), out.end()), all);
}

TEST_F(WaveDevSim, ResetReturnsEveryQueuedBufferInOrderAndRestartsThePosition) {
    HWAVEOUT h = OpenOut(Thread(), CALLBACK_THREAD);
    TBuffer a(88200), b(88200), c(88200);
    Play(h, a);
    Play(h, b);
    Play(h, c);
    sim->Advance(500);
    EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(h, &a.hdr, kHdr), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(PosMs(h), 0u);
    ASSERT_TRUE(log.WaitFor(4));
    auto l = log.Log();
    EXPECT_EQ(l[1].hdr, &a.hdr);
    EXPECT_EQ(l[2].hdr, &b.hdr);
    EXPECT_EQ(l[3].hdr, &c.hdr);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(l[i].flags & (WHDR_DONE | WHDR_INQUEUE), static_cast<DWORD>(WHDR_DONE));
    EXPECT_EQ(sim->OutputBytes().size(), 44100u);
    // Playing goes on after a reset, counting from 0.
    Play(h, a);
    sim->Advance(200);
    EXPECT_EQ(PosMs(h), 200u);
    sim->Advance(800);
    ASSERT_TRUE(log.WaitFor(5));
    ASSERT_EQ(waveOutUnprepareHeader(h, &a.hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_FALSE(a.hdr.dwFlags & WHDR_PREPARED);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(6));
}

// Paused in place by the device, or dropped and written again by the layer:
// either way every byte plays once, in order.
class WaveDevSimPause : public WaveDevSim, public ::testing::WithParamInterface<bool> {};

TEST_P(WaveDevSimPause, PauseHoldsPositionAndLosesNothing) {
    TSimFaults f;
    f.noPause = GetParam();
    sim->SetFaults(f);
    HWAVEOUT h = OpenOut(Thread(), CALLBACK_THREAD);
    TBuffer a(Pattern(88200, 4)), b(Pattern(88200, 5));
    Play(h, a);
    Play(h, b);
    sim->Advance(300);
    ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
    sim->Advance(5000);
    EXPECT_EQ(PosMs(h), 300u);
    EXPECT_EQ(log.Count(MM_WOM_DONE), 0u);
    ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
    sim->Advance(700);
    ASSERT_TRUE(log.WaitFor(2));
    EXPECT_EQ(PosMs(h), 1000u);
    sim->Advance(1000);
    ASSERT_TRUE(log.WaitFor(3));
    const std::vector<char> all = Concat({&a, &b});
    auto out = sim->OutputBytes();
    EXPECT_EQ(std::vector<char>(out.begin(), out.end()), all);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}
INSTANTIATE_TEST_SUITE_P(InPlaceAndRewritten, WaveDevSimPause, ::testing::Bool());

TEST_F(WaveDevSim, ResetWhilePausedKeepsTheDevicePaused) {
    HWAVEOUT h = OpenOut(Thread(), CALLBACK_THREAD);
    TBuffer a(88200);
    Play(h, a);
    ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(2));
    Play(h, a);
    sim->Advance(2000);
    EXPECT_EQ(PosMs(h), 0u);
    ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
    sim->Advance(1000);
    ASSERT_TRUE(log.WaitFor(3));
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(WaveDevSim, LoopsRepeatTheirHeadersBeforeReturningThem) {
    fmt = Pcm(8000, 1, 8);
    HWAVEOUT h = OpenOut(Thread(), CALLBACK_THREAD);
    TBuffer a(800, 'a'), b(800, 'b'), c(800, 'c');
    a.hdr.dwFlags = WHDR_BEGINLOOP;
    a.hdr.dwLoops = 3;
    b.hdr.dwFlags = WHDR_ENDLOOP;
    Play(h, a);
    Play(h, b);
    Play(h, c);
    sim->Advance(500);  // two and a half passes: nothing returned yet
    EXPECT_EQ(log.Count(MM_WOM_DONE), 0u);
    sim->Advance(100);  // all three passes
    ASSERT_TRUE(log.WaitFor(3));
    sim->Advance(100);
    ASSERT_TRUE(log.WaitFor(4));
    auto out = sim->OutputBytes();
    EXPECT_EQ(std::string(out.begin(), out.end()),
              std::string(800, 'a') + std::string(800, 'b') + std::string(800, 'a') + std::string(800, 'b') +
                  std::string(800, 'a') + std::string(800, 'b') + std::string(800, 'c'));
    auto l = log.Log();
    EXPECT_EQ(l[1].hdr, &a.hdr);
    EXPECT_EQ(l[2].hdr, &b.hdr);
    EXPECT_EQ(l[3].hdr, &c.hdr);

    // A single looped header, broken out of after its second pass starts.
    sim->ClearOutput();
    TBuffer d(800, 'd');
    d.hdr.dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
    d.hdr.dwLoops = 100;
    Play(h, d);
    sim->Advance(150);
    ASSERT_EQ(waveOutBreakLoop(h), MMSYSERR_NOERROR);
    sim->Advance(1000);
    ASSERT_TRUE(log.WaitFor(5));
    EXPECT_EQ(sim->OutputBytes().size(), 1600u);

    // A loop whose end never comes ends with the queue, after its passes.
    sim->ClearOutput();
    TBuffer e(800, 'e');
    e.hdr.dwFlags = WHDR_BEGINLOOP;
    e.hdr.dwLoops = 2;
    Play(h, e);
    for (int i = 0; i < 4 && log.Count() < 6; ++i) {
        sim->Advance(100);
        WaitWhileDispatching([&] { return log.Count() >= 6; }, 200);
    }
    ASSERT_TRUE(log.WaitFor(6));
    EXPECT_EQ(sim->OutputBytes().size(), 1600u);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(WaveDevSim, VolumeIsAppliedPerChannelWithoutTouchingTheCallersBlock) {
    HWAVEOUT h = OpenOut(0, CALLBACK_NULL);
    DWORD v = 0;
    ASSERT_EQ(waveOutGetVolume(h, &v), MMSYSERR_NOERROR);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    ASSERT_EQ(waveOutSetVolume(h, 0x40007FFFu), MMSYSERR_NOERROR);  // left half, right quarter
    ASSERT_EQ(waveOutGetVolume(h, &v), MMSYSERR_NOERROR);
    EXPECT_EQ(v, 0x40007FFFu);
    TBuffer a(4 * 10000);
    for (size_t i = 0; i < 10000; ++i) {
        const int16_t l = 20000, r = -20000;
        std::memcpy(a.data.data() + i * 4, &l, 2);
        std::memcpy(a.data.data() + i * 4 + 2, &r, 2);
    }
    const std::vector<char> original = a.data;
    Play(h, a);
    sim->Advance(1000);
    ASSERT_EQ(WaitWhileDispatching([&] { return IsDone(a.hdr); }, 20000),
              static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(a.data, original);
    auto out = sim->OutputBytes();
    ASSERT_EQ(out.size(), original.size());
    for (size_t i = 0; i < 10000; i += 997) {
        int16_t l, r;
        std::memcpy(&l, out.data() + i * 4, 2);
        std::memcpy(&r, out.data() + i * 4 + 2, 2);
        EXPECT_NEAR(l, 10000, 1);
        EXPECT_NEAR(r, -5000, 1);
    }
    EXPECT_EQ(waveOutSetPitch(h, 0x10000), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(waveOutGetPlaybackRate(h, &v), MMSYSERR_NOTSUPPORTED);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(WaveDevSim, PositionIsGivenInTheAskedTypeOrInBytes) {
    HWAVEOUT h = OpenOut(0, CALLBACK_NULL);
    TBuffer a(88200 * 4000 / 1000);  // 4 s
    Play(h, a);
    sim->Advance(3725);
    MMTIME t{};
    t.wType = TIME_SAMPLES;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.sample, 22050u * 3725 / 1000);
    t.wType = TIME_SMPTE;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.wType, static_cast<UINT>(TIME_SMPTE));
    EXPECT_EQ(t.u.smpte.sec, 3);
    EXPECT_EQ(t.u.smpte.fps, 30);
    EXPECT_EQ(t.u.smpte.frame, 21);
    t.wType = TIME_MIDI;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.wType, static_cast<UINT>(TIME_BYTES));
    EXPECT_EQ(t.u.cb, 22050u * 3725 / 1000 * 4);
    EXPECT_EQ(waveOutGetPosition(h, &t, 8), MMSYSERR_INVALPARAM);
    UINT id = 7;
    ASSERT_EQ(waveOutGetID(h, &id), MMSYSERR_NOERROR);
    EXPECT_EQ(id, WAVE_MAPPER);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(WaveDevSim, HeadersFollowTheirRules) {
    HWAVEOUT h = OpenOut(0, CALLBACK_NULL);
    HWAVEIN in = OpenIn(0, CALLBACK_NULL);
    TBuffer a(1000);
    EXPECT_EQ(waveOutWrite(h, &a.hdr, kHdr), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutPrepareHeader(h, &a.hdr, 31), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutPrepareHeader(h, nullptr, kHdr), MMSYSERR_INVALPARAM);
    ASSERT_EQ(waveOutPrepareHeader(h, &a.hdr, 32), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutPrepareHeader(h, &a.hdr, kHdr), MMSYSERR_NOERROR);  // again: fine
    ASSERT_EQ(waveOutWrite(h, &a.hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(h, &a.hdr, kHdr), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutPrepareHeader(h, &a.hdr, kHdr), WAVERR_STILLPLAYING);
    // Handles of one direction are not handles of the other.
    EXPECT_EQ(waveInStart(reinterpret_cast<HWAVEIN>(h)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutPause(reinterpret_cast<HWAVEOUT>(in)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutPause(nullptr), MMSYSERR_INVALHANDLE);
    TBuffer empty(0);
    ASSERT_EQ(waveInPrepareHeader(in, &empty.hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInAddBuffer(in, &empty.hdr, kHdr), MMSYSERR_INVALPARAM);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(a.hdr.dwFlags & (WHDR_DONE | WHDR_INQUEUE | WHDR_PREPARED),
              static_cast<DWORD>(WHDR_DONE | WHDR_PREPARED));
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

TEST_F(WaveDevSim, OpenChecksFormatDeviceAndCallback) {
    HWAVEOUT h = reinterpret_cast<HWAVEOUT>(1);
    // A query opens nothing and leaves the handle alone.
    EXPECT_EQ(waveOutOpen(&h, 0, &fmt, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(h, reinterpret_cast<HWAVEOUT>(1));
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &fmt, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(OpenWaveDeviceCount(), 0);
    EXPECT_EQ(waveOutOpen(&h, 1, &fmt, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveInOpen(nullptr, 5, &fmt, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    WAVEFORMATEX bad = fmt;
    bad.nAvgBytesPerSec = 1;
    EXPECT_EQ(waveOutOpen(&h, 0, &bad, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    bad = fmt;
    bad.wFormatTag = WAVE_FORMAT_GSM610;
    EXPECT_EQ(waveOutOpen(&h, 0, &bad, 0, 0, 0), WAVERR_BADFORMAT);
    WAVEFORMATEX three = Pcm(22050, 3, 16);  // sound, but the device takes two channels at most
    EXPECT_EQ(waveInOpen(nullptr, 0, &three, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    EXPECT_EQ(waveOutOpen(&h, 0, nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
    int notATarget = 0;
    EXPECT_EQ(waveOutOpen(&h, 0, &fmt, reinterpret_cast<DWORD_PTR>(&notATarget), 0, CALLBACK_WINDOW),
              MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutOpen(&h, 0, &fmt, Window(), 0, CALLBACK_THREAD), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutOpen(&h, 0, &fmt, 0, 0, CALLBACK_FUNCTION), MMSYSERR_INVALFLAG);
    EXPECT_EQ(OpenWaveDeviceCount(), 0);
    EXPECT_EQ(sim->OpenStreams(), 0);
}

TEST_F(WaveDevSim, FaultsOnRequestComeBackAsResults) {
    TSimFaults f;
    f.query = WAVERR_BADFORMAT;
    sim->SetFaults(f);
    HWAVEOUT h = nullptr;
    EXPECT_EQ(waveOutOpen(nullptr, 0, &fmt, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    EXPECT_EQ(waveOutOpen(&h, 0, &fmt, 0, 0, 0), WAVERR_BADFORMAT);
    f = {};
    f.openAfterQuery = MMSYSERR_NODRIVER;
    sim->SetFaults(f);
    EXPECT_EQ(waveOutOpen(nullptr, 0, &fmt, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutOpen(&h, 0, &fmt, Thread(), 0, CALLBACK_THREAD), MMSYSERR_NODRIVER);
    EXPECT_EQ(h, nullptr);
    f = {};
    f.busy = true;
    sim->SetFaults(f);
    EXPECT_EQ(waveInOpen(nullptr, 0, &fmt, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    HWAVEIN hi = nullptr;
    EXPECT_EQ(waveInOpen(&hi, 0, &fmt, 0, 0, 0), MMSYSERR_ALLOCATED);
    EXPECT_EQ(log.Count(), 0u);  // a failed open sends nothing
    EXPECT_EQ(OpenWaveDeviceCount(), 0);

    f = {};
    f.prepare = MMSYSERR_NOMEM;
    sim->SetFaults(f);
    h = OpenOut(thread->Handle(), CALLBACK_THREAD);
    TBuffer a(88200), b(88200);
    EXPECT_EQ(waveOutPrepareHeader(h, &a.hdr, kHdr), MMSYSERR_NOMEM);
    EXPECT_FALSE(a.hdr.dwFlags & WHDR_PREPARED);
    f = {};
    f.submit = MMSYSERR_ERROR;
    sim->SetFaults(f);
    ASSERT_EQ(waveOutPrepareHeader(h, &a.hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(h, &a.hdr, kHdr), MMSYSERR_ERROR);
    EXPECT_FALSE(a.hdr.dwFlags & WHDR_INQUEUE);

    // The device fails after taking the first buffer: both buffers come
    // back, and the failure is reported by the next call that queues.
    f = {};
    f.io = MMSYSERR_WRITEERROR;
    f.ioAfterFrames = 11025;
    sim->SetFaults(f);
    ASSERT_EQ(waveOutWrite(h, &a.hdr, kHdr), MMSYSERR_NOERROR);
    Play(h, b);
    sim->Advance(2000);
    ASSERT_TRUE(log.WaitFor(3));
    EXPECT_EQ(log.Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_DONE}));
    EXPECT_EQ(waveOutWrite(h, &a.hdr, kHdr), MMSYSERR_WRITEERROR);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(log.WaitFor(4));
}

TEST_F(WaveDevSim, WaveImageMustMatchTheOpenFormat) {
    // A 8000 Hz mono 8-bit WAVE image of 4 samples.
    std::vector<uint8_t> img = {'R', 'I', 'F', 'F', 40, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
                                1,   0,   1,   0,   0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0,
                                'd', 'a', 't', 'a', 4,   0,   0, 0, 10,  20,  30,  40};
    sim->SetInputWave(img);
    HWAVEIN h = nullptr;
    EXPECT_EQ(waveInOpen(&h, 0, &fmt, 0, 0, 0), WAVERR_BADFORMAT);
    fmt = Pcm(8000, 1, 8);
    h = OpenIn(0, CALLBACK_NULL);
    TBuffer a(8);
    ASSERT_EQ(waveInPrepareHeader(h, &a.hdr, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(h, &a.hdr, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    sim->Advance(1);
    ASSERT_EQ(WaitWhileDispatching([&] { return IsDone(a.hdr); }, 20000),
              static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(a.hdr.dwBytesRecorded, 8u);
    EXPECT_EQ(a.data, (std::vector<char>{10, 20, 30, 40, char(0x80), char(0x80), char(0x80), char(0x80)}));
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST_F(WaveDevSim, CapabilitiesNameFormatsAndSupport) {
    EXPECT_EQ(waveInGetNumDevs(), 1u);
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
    WAVEOUTCAPSW oc{};
    ASSERT_EQ(waveOutGetDevCapsW(0, &oc, sizeof oc), MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(oc.szPname), u"Simulated Output");
    EXPECT_EQ(oc.dwFormats, 0xFFFFFu);  // 8/16 bit, mono/stereo, 11025..96000 Hz
    EXPECT_EQ(oc.dwSupport, static_cast<DWORD>(WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE));
    EXPECT_EQ(oc.wChannels, 2);
    ASSERT_EQ(waveOutGetDevCapsW(WAVE_MAPPER, &oc, sizeof oc), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutGetDevCapsW(static_cast<UINT_PTR>(-1), &oc, sizeof oc), MMSYSERR_NOERROR);
    // An open device's handle stands for its device.
    HWAVEOUT h = OpenOut(0, CALLBACK_NULL);
    ASSERT_EQ(waveOutGetDevCapsW(reinterpret_cast<UINT_PTR>(h), &oc, sizeof oc), MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(oc.szPname), u"Simulated Output");
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutGetDevCapsW(reinterpret_cast<UINT_PTR>(h), &oc, sizeof oc), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutGetDevCapsW(1, &oc, sizeof oc), MMSYSERR_BADDEVICEID);

    sim->SetFormatFilter([](const WAVEFORMATEX& f) { return f.nSamplesPerSec == 22050 && f.wBitsPerSample == 16; });
    sim->SetDevices(TWaveDirection::wdInput,
                    {TWaveDeviceInfo{"Mic"}, TWaveDeviceInfo{"A name longer than thirty-one characters"}});
    WAVEINCAPSW ic{};
    ASSERT_EQ(waveInGetDevCapsW(1, &ic, sizeof ic), MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(ic.szPname), u"A name longer than thirty-one c");
    EXPECT_EQ(ic.dwFormats, static_cast<DWORD>(WAVE_FORMAT_2M16 | WAVE_FORMAT_2S16));
    // A short record gets only its first bytes.
    WAVEINCAPSW part{};
    part.dwFormats = 0x12345678;
    ASSERT_EQ(waveInGetDevCapsW(0, &part, 8), MMSYSERR_NOERROR);
    EXPECT_EQ(part.vDriverVersion, 0x0100u);
    EXPECT_EQ(part.szPname[0], 0);
    EXPECT_EQ(part.dwFormats, 0x12345678u);
    EXPECT_EQ(waveInGetDevCapsW(0, nullptr, sizeof ic), MMSYSERR_INVALPARAM);
}

TEST(WaveDevErrorText, EveryCodeHasATextAndOthersNone) {
    char16_t text[MAXERRORLENGTH];
    for (MMRESULT c = 0; c <= MMSYSERR_LASTERROR; ++c) {
        if (c == MMSYSERR_MOREDATA) continue;
        ASSERT_EQ(waveOutGetErrorTextW(c, text, MAXERRORLENGTH), MMSYSERR_NOERROR) << c;
        EXPECT_GT(std::u16string(text).size(), 10u) << c;
    }
    for (MMRESULT c = WAVERR_BASE; c <= WAVERR_LASTERROR; ++c) {
        ASSERT_EQ(waveInGetErrorTextW(c, text, MAXERRORLENGTH), MMSYSERR_NOERROR) << c;
        EXPECT_GT(std::u16string(text).size(), 10u) << c;
    }
    EXPECT_EQ(waveInGetErrorTextW(WAVERR_LASTERROR + 1, text, MAXERRORLENGTH), MMSYSERR_BADERRNUM);
    EXPECT_EQ(text[0], 0);
    EXPECT_EQ(waveInGetErrorTextW(5000, text, MAXERRORLENGTH), MMSYSERR_BADERRNUM);
    EXPECT_EQ(waveInGetErrorTextW(WAVERR_BADFORMAT, nullptr, 10), MMSYSERR_INVALPARAM);
    // A small buffer gets the start of the text, terminated.
    ASSERT_EQ(waveOutGetErrorTextW(MMSYSERR_ALLOCATED, text, 9), MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(text).size(), 8u);
    // A backend's detail is added to the text of its code.
    SetWaveErrorDetail(MMSYSERR_ALLOCATED, "ALSA hw:0: Device or resource busy");
    ASSERT_EQ(waveOutGetErrorTextW(MMSYSERR_ALLOCATED, text, MAXERRORLENGTH), MMSYSERR_NOERROR);
    EXPECT_NE(std::u16string(text).find(u"(ALSA hw:0: Device or resource busy)"), std::u16string::npos);
    ASSERT_EQ(waveOutGetErrorTextW(MMSYSERR_NOMEM, text, MAXERRORLENGTH), MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(text).find(u"ALSA"), std::u16string::npos);
    ClearWaveErrorDetail();
}

TEST(WaveDevBackends, TableListsAlsaAndSimAndInstallRestores) {
    EXPECT_EQ(WaveBackendNames(), (std::vector<std::string>{"alsa", "sim"}));
    EXPECT_EQ(CreateWaveBackend("nope"), nullptr);
    auto sim = CreateWaveBackend("sim");
    ASSERT_NE(sim, nullptr);
    EXPECT_STREQ(sim->Name(), "sim");
    auto before = ActiveWaveBackend();
    {
        TWaveBackendInstall use(sim);
        EXPECT_EQ(ActiveWaveBackend(), sim);
    }
    EXPECT_EQ(ActiveWaveBackend(), before);
}

}  // namespace
}  // namespace orvant::test
