// The device engine on the simulated wave device: recording and playback
// buffers, the open/close handshake in both callback modes, the protocol's
// edge cases, errors and the conversions.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

#include "audio/WaveIn.h"
#include "audio/WaveOut.h"
#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/sim/SimWaveBackend.h"
#include "tests/support/DevicesSettled.h"

namespace orvant {
namespace {

// Bytes 0..250 repeated: a pattern whose position shows in every byte.
std::vector<uint8_t> Pattern(size_t n, size_t offset = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t((i + offset) % 251);
    return v;
}

// What the events and hooks saw, filled on whichever thread handles the
// device messages.
struct TLog {
    std::mutex lock;
    int activated = 0;
    int deactivated = 0;
    int paused = 0;
    int resumed = 0;
    int errors = 0;
    std::vector<int> levels;
    std::vector<uint32_t> sizes;  // recorded or written buffer sizes
    std::vector<uint8_t> bytes;   // recorded bytes

    template <class F>
    auto With(F f) {
        std::lock_guard<std::mutex> g(lock);
        return f();
    }
};

void Wire(TWaveAudioIO& d, TLog& log) {
    d.OnActivate = [&log](TWaveAudioIO*) { log.With([&] { return ++log.activated; }); };
    d.OnDeactivate = [&log](TWaveAudioIO*) { log.With([&] { return ++log.deactivated; }); };
    d.OnPause = [&log](TWaveAudioIO*) { log.With([&] { return ++log.paused; }); };
    d.OnResume = [&log](TWaveAudioIO*) { log.With([&] { return ++log.resumed; }); };
}

class TTestIn : public TWaveAudioIn {
public:
    explicit TTestIn(TLog& log) : fLog(log) { Wire(*this, log); }
    ~TTestIn() override { ShutDown(); }

    using TWaveAudioIO::DeviceTimeToMs;
    using TWaveAudioIO::FormatsFromCaps;
    using TWaveAudioIn::CloseDevice;
    using TWaveAudioIn::OpenDevice;
    using TWaveAudioIO::QueuedBufferCount;
    using TWaveAudioIO::ResizeBuffer;
    void SetFormat(const tWAVEFORMATEX& f) { WaveFormat = f; }
    void SetFilter(TWaveAudioFilterEvent f) { fOnFilter = std::move(f); }
    uint16_t Count() {
        std::lock_guard<std::recursive_mutex> g(CS);
        return QueuedBufferCount();
    }

    bool keepBlocks = false;       // the hook takes the blocks over
    bool throwInHook = false;
    std::vector<void*> kept;

protected:
    void HandleInputData(void* Buffer, uint32_t BufferSize, bool& FreeIt) override {
        fLog.With([&] {
            fLog.sizes.push_back(BufferSize);
            auto* p = static_cast<uint8_t*>(Buffer);
            fLog.bytes.insert(fLog.bytes.end(), p, p + BufferSize);
            return 0;
        });
        if (throwInHook) throw EWaveAudioError("disk full");
        if (keepBlocks) {
            FreeIt = false;
            kept.push_back(Buffer);
        }
    }

private:
    TLog& fLog;
};

class TTestOut : public TWaveAudioOut {
public:
    TTestOut(TLog& log, std::vector<uint8_t> data, TPCMFormat format = Stereo16bit22050Hz)
        : fLog(log), fData(std::move(data)), fFormat(format) {
        Wire(*this, log);
    }
    ~TTestOut() override { ShutDown(); }

    using TWaveAudioOut::CloseDevice;
    using TWaveAudioOut::OpenDevice;
    uint16_t Count() {
        std::lock_guard<std::recursive_mutex> g(CS);
        return QueuedBufferCount();
    }
    void SetExternal() { fBufferInternally = false; }
    void SetFilter(TWaveAudioFilterEvent f) { fOnFilter = std::move(f); }

    // External buffering: how many blocks of silence to ask for first.
    int silenceRequests = 0;

protected:
    void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) override {
        FreeIt = true;
        pWaveFormat = AllocWaveFormat(0);
        PCMFormatToWaveFormat(pWaveFormat, fFormat);
    }
    uint32_t FetchWaveData(void* Buffer, uint32_t BufferSize, uint32_t&) override {
        const uint32_t n = uint32_t(std::min<size_t>(BufferSize, fData.size() - fPos));
        if (n) std::memcpy(Buffer, fData.data() + fPos, n);
        fPos += n;
        return n;
    }
    uint32_t FetchWaveDataPointer(void*& Buffer, uint32_t&, bool& FreeIt) override {
        if (silenceRequests > 0) {
            --silenceRequests;
            return 100;  // 100 ms of silence, no block
        }
        const uint32_t n = uint32_t(std::min<size_t>(8820, fData.size() - fPos));
        if (n == 0) return 0;
        Buffer = std::malloc(n);
        std::memcpy(Buffer, fData.data() + fPos, n);
        fPos += n;
        FreeIt = true;
        return n;
    }
    bool WriteBuffer(PWAVEHDR pWaveHeader) override {
        fLog.With([&] {
            fLog.sizes.push_back(pWaveHeader->dwBufferLength);
            return 0;
        });
        return TWaveAudioOut::WriteBuffer(pWaveHeader);
    }

private:
    TLog& fLog;
    std::vector<uint8_t> fData;
    size_t fPos = 0;
    TPCMFormat fFormat;
};

// Captures what the application's exception display is given.
class TShownExceptions {
public:
    TShownExceptions() {
        SetApplicationExceptionHandler([this](const std::exception& e) {
            std::lock_guard<std::mutex> g(fLock);
            fTexts.push_back(e.what());
        });
    }
    ~TShownExceptions() { SetApplicationExceptionHandler(nullptr); }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> g(fLock);
        return fTexts;
    }

private:
    std::mutex fLock;
    std::vector<std::string> fTexts;
};

class EngineTest : public ::testing::Test {
protected:
    std::shared_ptr<TSimWaveBackend> sim = std::make_shared<TSimWaveBackend>();
    TWaveBackendInstall install{sim};
    TShownExceptions shown;
    TLog log;

    // Handles this thread's device messages until cond holds (generous limit).
    template <class F>
    bool WaitUntil(F cond) {
        return WaitWhileDispatching(cond, 60000) == WAIT_OBJECT_0;
    }
    // Handles this thread's device messages until the devices have done all
    // the clock asked of them: what has not happened by then does not happen.
    void Settle() {
        ASSERT_EQ(WaitWhileDispatching([&] { return testsupport::DevicesSettled(*sim); }, 60000),
                  static_cast<DWORD>(WAIT_OBJECT_0))
            << "the devices never settled";
    }
    // Lets device time pass in steps, handling messages, until cond holds;
    // at most maxMs of device time.
    template <class F>
    bool RunUntil(F cond, uint32_t maxMs = 120000) {
        for (uint32_t t = 0; t <= maxMs; t += 100) {
            if (WaitWhileDispatching(cond, 20) == WAIT_OBJECT_0) return true;
            sim->Advance(100);
        }
        return cond();
    }
    int Activated() { return log.With([&] { return log.activated; }); }
    int Deactivated() { return log.With([&] { return log.deactivated; }); }
    size_t Buffers() { return log.With([&] { return log.sizes.size(); }); }
};

class EngineModes : public EngineTest, public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(Async, EngineModes, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "CallbackThread" : "CallbackWindow"; });

// ------------------------------------------------------------ recording

TEST_P(EngineModes, RecordingStoppedAfter2500msGivesTwoFullBuffersAndThePartOfTheThird) {
    const std::vector<uint8_t> source = Pattern(88200 * 4);
    sim->SetInputRaw(source);
    TTestIn in(log);
    in.SetPCMFormat(Stereo16bit22050Hz);
    in.SetAsync(GetParam());
    std::vector<int> levels;
    in.OnLevel = [&](TWaveAudioIO*, int32_t level) { log.With([&] { levels.push_back(level); return 0; }); };

    in.SetActive(true);
    EXPECT_TRUE(in.Active());
    ASSERT_TRUE(WaitUntil([&] { return Activated() == 1; }));
    EXPECT_EQ(in.Count(), 2);
    sim->Advance(2500);
    ASSERT_TRUE(WaitUntil([&] { return Buffers() == 2; }));

    in.SetActive(false);
    // With a callback window the close is reported only when this thread
    // handles it; a callback thread may have done so already.
    if (!GetParam()) {
        EXPECT_TRUE(in.Active());
    }
    in.WaitForStop();
    EXPECT_FALSE(in.Active());
    EXPECT_EQ(Deactivated(), 1);
    EXPECT_EQ(log.sizes, (std::vector<uint32_t>{88200, 88200, 44100}));
    // Every recorded byte arrived once, in order.
    EXPECT_TRUE(std::equal(log.bytes.begin(), log.bytes.end(), source.begin()));
    ASSERT_FALSE(levels.empty());
    EXPECT_EQ(levels.back(), 0);  // the close reports level 0
    EXPECT_EQ(in.Count(), 0);
    EXPECT_EQ(OpenWaveDeviceCount(), 0);
    EXPECT_TRUE(shown.Texts().empty());
    // The device opens again after a close.
    in.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return Activated() == 2; }));
    in.SetActive(false);
    in.WaitForStop();
    EXPECT_EQ(Deactivated(), 2);
}

TEST_P(EngineModes, PausedInputOpensWithItsBuffersAndRecordsNothingUntilResumed) {
    TTestIn in(log);
    in.SetAsync(GetParam());
    in.SetPaused(true);  // closed: only the flag and OnPause
    EXPECT_TRUE(in.Paused());
    EXPECT_EQ(log.paused, 1);
    in.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return Activated() == 1; }));
    EXPECT_EQ(in.Count(), 2);
    sim->Advance(3000);
    Settle();
    EXPECT_EQ(Buffers(), 0u);

    in.SetPaused(false);
    EXPECT_EQ(log.resumed, 1);
    sim->Advance(1000);
    ASSERT_TRUE(WaitUntil([&] { return Buffers() == 1; }));
    EXPECT_EQ(log.sizes[0], 16000u);  // Mono16bit8000Hz, the default format
    in.SetActive(false);
    in.WaitForStop();
    EXPECT_FALSE(in.Paused());
}

TEST_P(EngineModes, InputWithBufferCountZeroOpensQueuesNothingAndCloses) {
    TTestIn in(log);
    in.SetAsync(GetParam());
    in.SetBufferCount(0);
    in.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return Activated() == 1; }));
    EXPECT_EQ(in.Count(), 0);
    sim->Advance(2000);
    in.SetActive(false);
    in.WaitForStop();
    EXPECT_FALSE(in.Active());
    EXPECT_EQ(Deactivated(), 1);
    EXPECT_EQ(Buffers(), 0u);
}

TEST_P(EngineModes, ExceptionInDataHookIsShownAndCostsOnlyThatBuffersBytes) {
    TTestIn in(log);
    in.SetAsync(GetParam());
    in.throwInHook = true;
    in.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return Activated() == 1; }));
    sim->Advance(1000);
    ASSERT_TRUE(WaitUntil([&] { return Buffers() == 1; }));
    // The text is shown after the handler has queued the buffer again.
    ASSERT_TRUE(WaitUntil([&] { return !shown.Texts().empty(); }));
    EXPECT_EQ(shown.Texts(), std::vector<std::string>{"disk full"});
    EXPECT_EQ(in.Count(), 2);  // the buffer went back to the device
    EXPECT_TRUE(in.Active());
    in.throwInHook = false;
    sim->Advance(2000);
    ASSERT_TRUE(WaitUntil([&] { return Buffers() == 3; }));  // both buffers go on
    in.SetActive(false);
    in.WaitForStop();
    EXPECT_EQ(Deactivated(), 1);
}

TEST_F(EngineTest, StoppedBeforeTheOpenMessageClosesCleanlyAndOpensAgain) {
    TTestIn in(log);
    TTestOut out(log, Pattern(88200));
    int errors = 0;
    in.OnError = out.OnError = [&](TWaveAudioIO*) { ++errors; };
    for (int round = 1; round <= 2; ++round) {
        // Window mode: nothing is dispatched between the open and the close.
        ASSERT_TRUE(in.OpenDevice());
        ASSERT_TRUE(out.OpenDevice());
        EXPECT_TRUE(in.CloseDevice());
        EXPECT_TRUE(out.CloseDevice());
        in.WaitForStop();
        out.WaitForStop();
        EXPECT_FALSE(in.Active());
        EXPECT_FALSE(out.Active());
        EXPECT_FALSE(in.Paused());
        EXPECT_EQ(errors, 0);
        EXPECT_EQ(Deactivated(), 2 * round);
    }
    // And it still records.
    in.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return Activated() == 5; }));
    sim->Advance(1000);
    ASSERT_TRUE(WaitUntil([&] { return Buffers() == 1; }));
    in.SetActive(false);
    in.WaitForStop();
}

TEST_F(EngineTest, CallbackWindowIsServedByTheEventLoop) {
    // As in the program: the main thread runs Qt's loop, and a stop waits
    // by letting pending events run.
    int argc = 1;
    char name[] = "test_audio";
    char* argv[] = {name, nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance()) app = std::make_unique<QCoreApplication>(argc, argv);
    auto processUntil = [](auto cond) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!cond() && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return cond();
    };
    sim->SetInputRaw(Pattern(88200 * 2));
    TTestIn in(log);
    in.SetPCMFormat(Stereo16bit22050Hz);
    in.SetActive(true);
    ASSERT_TRUE(processUntil([&] { return Activated() == 1; }));
    sim->Advance(1500);
    ASSERT_TRUE(processUntil([&] { return Buffers() == 1; }));
    in.SetActive(false);
    ASSERT_TRUE(processUntil([&] { return !in.Active(); }));
    EXPECT_EQ(log.sizes, (std::vector<uint32_t>{88200, 44100}));
    EXPECT_TRUE(std::equal(log.bytes.begin(), log.bytes.end(), Pattern(88200 * 2).begin()));
}

// Full-scale positive 16-bit samples.
void FillLoud(void* buffer, uint32_t size) {
    auto* p = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i + 1 < size; i += 2) {
        p[i] = 0xFF;
        p[i + 1] = 0x7F;
    }
}

TEST_F(EngineTest, FilterChangesTheBytesInPlaceAndTheLevelSeesTheRightSide) {
    // Input: the level describes the bytes as recorded, the hook gets them filtered.
    sim->SetInputSilence();
    TTestIn in(log);
    std::vector<int> levels;
    in.OnLevel = [&](TWaveAudioIO*, int32_t level) { levels.push_back(level); };
    in.SetFilter([](TWaveAudioIO*, void* b, uint32_t n) { FillLoud(b, n); });
    in.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return Activated() == 1; }));
    sim->Advance(1000);
    ASSERT_TRUE(WaitUntil([&] { return Buffers() == 1; }));
    in.SetActive(false);
    in.WaitForStop();
    ASSERT_GE(levels.size(), 2u);
    EXPECT_EQ(levels[0], 0);
    ASSERT_EQ(log.bytes.size(), 16000u);
    EXPECT_EQ(log.bytes[0], 0xFF);
    EXPECT_EQ(log.bytes[15999], 0x7F);

    // Output: the level describes the filtered bytes, and they are what plays.
    TTestOut out(log, std::vector<uint8_t>(88200, 0));
    std::vector<int> outLevels;
    out.OnLevel = [&](TWaveAudioIO*, int32_t level) { outLevels.push_back(level); };
    out.SetFilter([](TWaveAudioIO*, void* b, uint32_t n) { FillLoud(b, n); });
    out.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return Deactivated() == 2; }));
    out.WaitForStop();
    EXPECT_EQ(outLevels, (std::vector<int>{100, 0}));
    const std::vector<uint8_t> played = sim->OutputBytes();
    ASSERT_EQ(played.size(), 88200u);
    EXPECT_EQ(played[88198], 0xFF);
    EXPECT_EQ(played[88199], 0x7F);
}

TEST_F(EngineTest, HookThatKeepsItsBlockGetsAFreshOneAndTheBlockOutlivesTheDevice) {
    sim->SetInputRaw(Pattern(64000));
    TTestIn in(log);
    in.keepBlocks = true;
    in.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return Activated() == 1; }));
    sim->Advance(3000);
    ASSERT_TRUE(WaitUntil([&] { return Buffers() == 3; }));
    in.SetActive(false);
    in.WaitForStop();
    ASSERT_GE(in.kept.size(), 3u);
    // Three different blocks, still holding what was recorded into them.
    EXPECT_NE(in.kept[0], in.kept[2]);
    const std::vector<uint8_t> expected = Pattern(16000, 32000);
    EXPECT_EQ(std::memcmp(in.kept[2], expected.data(), 16000), 0);
    for (void* p : in.kept) std::free(p);
}

TEST_F(EngineTest, RecordingPositionFollowsTheDeviceAndIsZeroWhenClosed) {
    TTestIn in(log);
    EXPECT_EQ(in.Position(), 0u);
    in.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return Activated() == 1; }));
    sim->Advance(1500);
    ASSERT_TRUE(WaitUntil([&] { return in.Position() >= 1500; }));
    EXPECT_LE(in.Position(), 1600u);
    in.SetActive(false);
    in.WaitForStop();
    EXPECT_EQ(in.Position(), 0u);
}

// ------------------------------------------------------------ playback

TEST_P(EngineModes, SupplierWithTwoAndAHalfBuffersPlaysThreeAndTheDeviceClosesItself) {
    const std::vector<uint8_t> data = Pattern(88200 * 2 + 44100);
    TTestOut out(log, data);
    out.SetAsync(GetParam());
    out.SetActive(true);
    ASSERT_TRUE(out.Active());
    ASSERT_TRUE(RunUntil([&] { return Deactivated() == 1; }));
    out.WaitForStop();
    EXPECT_FALSE(out.Active());
    EXPECT_EQ(Activated(), 1);
    EXPECT_EQ(log.sizes, (std::vector<uint32_t>{88200, 88200, 44100}));
    EXPECT_EQ(sim->OutputBytes(), data);
    EXPECT_EQ(out.Position(), 0u);
    EXPECT_EQ(OpenWaveDeviceCount(), 0);
    EXPECT_TRUE(shown.Texts().empty());
}

TEST_P(EngineModes, StopAfterTheEndOfTheDataCutsTheTailStillPlaying) {
    TTestOut out(log, Pattern(88200 + 44100));
    out.SetAsync(GetParam());
    out.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return Buffers() == 2; }));
    sim->Advance(1000);  // the first buffer has played; its refill finds the end
    ASSERT_TRUE(WaitUntil([&] { return out.Count() == 1; }));
    // The device clock stands still from here: the stop must not wait for
    // the last half second to play out.
    out.SetActive(false);
    EXPECT_EQ(WaitWhileDispatching([&] { return !out.Active(); }, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(RunUntil([&] { return !out.Active(); }));
    out.WaitForStop();
    EXPECT_EQ(Deactivated(), 1);
    EXPECT_EQ(sim->OutputBytes().size(), 88200u);
    EXPECT_EQ(OpenWaveDeviceCount(), 0);
}

TEST_P(EngineModes, EmptySupplierOpensAndClosesAtOnce) {
    TTestOut out(log, {});
    out.SetAsync(GetParam());
    out.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return Deactivated() == 1; }));
    out.WaitForStop();
    EXPECT_EQ(Activated(), 1);
    EXPECT_EQ(Buffers(), 0u);
    EXPECT_TRUE(sim->OutputBytes().empty());
}

TEST_P(EngineModes, PausedOutputOpensPausedAndPlaysAfterResume) {
    const std::vector<uint8_t> data = Pattern(88200);
    TTestOut out(log, data);
    out.SetAsync(GetParam());
    out.SetPaused(true);
    EXPECT_EQ(log.paused, 1);
    out.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return Activated() == 1 && Buffers() == 1; }));
    sim->Advance(3000);
    Settle();
    EXPECT_EQ(sim->PlayedFrames(), 0u);
    EXPECT_TRUE(out.Active());

    out.SetPaused(false);
    EXPECT_EQ(log.resumed, 1);
    ASSERT_TRUE(RunUntil([&] { return Deactivated() == 1; }));
    out.WaitForStop();
    EXPECT_EQ(sim->OutputBytes(), data);
}

TEST_P(EngineModes, OutputWithBufferCountZeroPlaysOneBufferAndStaysOpen) {
    TTestOut out(log, Pattern(88200 * 3));
    out.SetAsync(GetParam());
    out.SetBufferCount(0);
    out.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return Buffers() == 1 && out.Count() == 0; }));
    sim->Advance(3000);
    Settle();
    EXPECT_TRUE(out.Active());
    EXPECT_EQ(Buffers(), 1u);
    EXPECT_EQ(sim->OutputBytes().size(), 88200u);
    out.SetActive(false);
    out.WaitForStop();
    EXPECT_FALSE(out.Active());
    EXPECT_EQ(Deactivated(), 1);
}

TEST_P(EngineModes, LoweringBufferCountWhilePlayingReleasesReturningBuffers) {
    const std::vector<uint8_t> data = Pattern(8820 * 12);
    TTestOut out(log, data);
    out.SetAsync(GetParam());
    out.SetBufferLength(100);
    out.SetBufferCount(3);
    out.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return out.Count() == 3; }));
    out.SetBufferCount(1);
    ASSERT_TRUE(RunUntil([&] { return out.Count() == 1; }));
    ASSERT_TRUE(RunUntil([&] { return Deactivated() == 1; }));
    out.WaitForStop();
    // Playback went on with one buffer: everything was played, in order.
    EXPECT_EQ(sim->OutputBytes(), data);
}

TEST_F(EngineTest, ExternalSupplierGetsSilenceWhileItHasNoDataYet) {
    const std::vector<uint8_t> data = Pattern(8820 * 2);
    TTestOut out(log, data);
    out.SetExternal();
    out.silenceRequests = 1;
    out.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return Deactivated() == 1; }));
    out.WaitForStop();
    const std::vector<uint8_t> played = sim->OutputBytes();
    ASSERT_EQ(played.size(), 8820u + data.size());  // 100 ms of silence first
    EXPECT_TRUE(std::all_of(played.begin(), played.begin() + 8820, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), played.begin() + 8820));
}

TEST_F(EngineTest, PositionCountsFromTheStartPositionWhilePlaying) {
    TTestOut out(log, Pattern(88200 * 5));
    out.SetPosition(10000);
    EXPECT_EQ(out.Position(), 10000u);
    out.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return out.Count() == 2; }));
    ASSERT_TRUE(RunUntil([&] { return out.Position() >= 11500; }));
    // The device's own position, added to the start position.
    EXPECT_NEAR(double(out.Position()), 10000.0 + double(sim->PlayedFrames()) * 1000 / 22050, 2.0);
    EXPECT_LT(out.Position(), 12000u);
    out.SetActive(false);
    out.WaitForStop();
    EXPECT_EQ(out.Position(), 0u);  // the start position is cleared by the close
}

TEST_P(EngineModes, RefusedBuffersAreReleasedAtOnceAndThePlaybackEndsWithItsData) {
    TTestOut out(log, Pattern(88200 * 3));
    out.SetAsync(GetParam());
    int errors = 0;
    out.OnError = [&](TWaveAudioIO*) { log.With([&] { return ++errors; }); };
    TSimFaults faults;
    faults.submit = MMSYSERR_NOMEM;
    sim->SetFaults(faults);
    out.SetActive(true);
    // Each buffer is refused and released; the refills go on to the end of
    // the data, and the close does not wait for any of them.
    ASSERT_TRUE(RunUntil([&] { return Deactivated() == 1; }));
    out.WaitForStop();
    EXPECT_EQ(errors, 3);
    EXPECT_EQ(log.sizes, (std::vector<uint32_t>{88200, 88200, 88200}));
    EXPECT_EQ(out.Count(), 0);
    EXPECT_TRUE(sim->OutputBytes().empty());
    EXPECT_EQ(OpenWaveDeviceCount(), 0);
}

TEST_P(EngineModes, RefusedBufferWithoutOnErrorIsShownAndTheCloseStillCompletes) {
    TTestOut out(log, Pattern(88200 * 10));
    out.SetAsync(GetParam());
    TSimFaults faults;
    faults.prepare = MMSYSERR_NOMEM;
    sim->SetFaults(faults);
    std::vector<std::string> texts;
    // The device recovers as soon as the first failure has been shown.
    SetApplicationExceptionHandler([&](const std::exception& e) {
        log.With([&] { texts.push_back(e.what()); return 0; });
        sim->SetFaults({});
    });
    out.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return out.Count() == 2; }));  // playback recovers
    out.SetActive(false);
    out.WaitForStop();
    EXPECT_FALSE(out.Active());
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("memory"), std::string::npos);
}

// ------------------------------------------------------------ handlers, destruction

TEST_P(EngineModes, HandlerExceptionIsShownAndNeitherEndsTheCallbackNorClosesTheDevice) {
    const std::vector<uint8_t> data = Pattern(88200 * 3);
    TTestOut out(log, data);
    out.SetAsync(GetParam());
    int levels = 0;
    out.OnLevel = [&](TWaveAudioIO*, int32_t) {
        if (log.With([&] { return ++levels; }) == 1) throw EWaveAudioError("level handler failed");
    };
    out.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return Deactivated() == 1; }));
    out.WaitForStop();
    EXPECT_EQ(shown.Texts(), std::vector<std::string>{"level handler failed"});
    // Only the failing buffer was lost: the device went on with the rest.
    EXPECT_EQ(log.sizes, (std::vector<uint32_t>{88200, 88200, 88200}));
    const std::vector<uint8_t> played = sim->OutputBytes();
    ASSERT_EQ(played.size(), 88200u * 2);
    EXPECT_TRUE(std::equal(played.begin(), played.end(), data.begin() + 88200));
}

TEST_P(EngineModes, DestroyingAnOpenDeviceClosesItWithoutOnDeactivate) {
    {
        TTestOut out(log, Pattern(88200 * 10));
        out.SetAsync(GetParam());
        out.SetActive(true);
        ASSERT_TRUE(WaitUntil([&] { return out.Count() == 2; }));
    }
    {
        TTestIn in(log);
        in.SetAsync(GetParam());
        in.SetActive(true);
        ASSERT_TRUE(WaitUntil([&] { return Activated() == 2; }));
        sim->Advance(500);
    }
    EXPECT_EQ(OpenWaveDeviceCount(), 0);
    EXPECT_EQ(Deactivated(), 0);
}

TEST_F(EngineTest, OwnerDestroysAnOpenDevice) {
    auto* owner = new TComponent(nullptr);
    auto* in = new TTestIn(log);
    delete in;  // a closed device goes quietly
    auto* out = new TWaveAudioIn(owner);
    out->SetActive(true);
    ASSERT_TRUE(out->Active());
    delete owner;
    EXPECT_EQ(OpenWaveDeviceCount(), 0);
}

// ------------------------------------------------------------ properties and errors

TEST_F(EngineTest, PropertyDefaultsAndWriters) {
    TTestIn in(log);
    EXPECT_FALSE(in.Active());
    EXPECT_FALSE(in.Paused());
    EXPECT_EQ(in.DeviceID(), 4294967295u);
    EXPECT_EQ(in.BufferLength(), 1000);
    EXPECT_EQ(in.BufferCount(), 2);
    EXPECT_FALSE(in.Async());
    EXPECT_EQ(in.LastError(), 0u);
    EXPECT_EQ(in.PCMFormat(), Mono16bit8000Hz);
    in.SetBufferLength(5);
    EXPECT_EQ(in.BufferLength(), 10);
    in.SetBufferLength(10);
    EXPECT_EQ(in.BufferLength(), 10);
    EXPECT_EQ(in.NumDevs(), 1u);
    EXPECT_EQ(in.DeviceName(), "Simulated Input");

    TTestOut out(log, {});
    EXPECT_TRUE(out.Options().IsEmpty());
    EXPECT_EQ(out.VolumeLeft(), 75);
    EXPECT_EQ(out.VolumeRight(), 75);
    EXPECT_EQ(out.Volume(), 75);
    EXPECT_EQ(out.Pitch(), 1.0);
    EXPECT_EQ(out.PlaybackRate(), 1.0);
}

TEST_F(EngineTest, WhatCannotChangeWhileOpen) {
    TTestIn in(log);
    in.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return Activated() == 1; }));
    in.SetAsync(true);
    EXPECT_FALSE(in.Async());
    in.SetDeviceID(WAVE_MAPPER);  // its own value: nothing
    try {
        in.SetDeviceID(0);
        ADD_FAILURE();
    } catch (const EWaveAudioInvalidOperation& e) {
        EXPECT_STREQ(e.what(), "DeviceID cannot be changed while device is open");
    }
    in.SetPCMFormat(Mono16bit8000Hz);
    try {
        in.SetPCMFormat(Stereo16bit22050Hz);
        ADD_FAILURE();
    } catch (const EWaveAudioInvalidOperation& e) {
        EXPECT_STREQ(e.what(), "Audio format cannot be changed while device is open");
    }
    try {
        in.OpenDevice();
        ADD_FAILURE();
    } catch (const EWaveAudioInvalidOperation& e) {
        EXPECT_STREQ(e.what(), "Device is aleardy open");
    }
    in.SetActive(false);
    EXPECT_FALSE(in.CloseDevice());  // a close is running
    in.WaitForStop();
    in.SetAsync(true);
    EXPECT_TRUE(in.Async());
    in.SetPCMFormat(Stereo16bit22050Hz);
    EXPECT_EQ(in.PCMFormat(), Stereo16bit22050Hz);
    in.SetDeviceID(0);
    EXPECT_EQ(in.DeviceID(), 0u);
    try {
        in.CloseDevice();
        ADD_FAILURE();
    } catch (const EWaveAudioInvalidOperation& e) {
        EXPECT_STREQ(e.what(), "Device is aleardy close");
    }
}

TEST_F(EngineTest, InvalidDeviceIdReportsTheErrorAndKeepsTheOldValue) {
    TTestIn in(log);
    try {
        in.SetDeviceID(7);
        ADD_FAILURE();
    } catch (const EWaveAudioSysError& e) {
        EXPECT_EQ(std::string(e.what()), in.LastErrorText());
    }
    EXPECT_EQ(in.LastError(), uint32_t(MMSYSERR_BADDEVICEID));
    EXPECT_FALSE(in.LastErrorText().empty());
    EXPECT_EQ(in.DeviceID(), WAVE_MAPPER);
    int errors = 0;
    in.OnError = [&](TWaveAudioIO*) { ++errors; };
    in.SetDeviceID(9);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(in.DeviceID(), WAVE_MAPPER);
}

TEST_F(EngineTest, RefusedFormatFailsTheOpenWithThePlatformCode) {
    TSimFaults faults;
    faults.query = WAVERR_BADFORMAT;
    sim->SetFaults(faults);
    TTestIn in(log);
    EXPECT_THROW(in.SetActive(true), EWaveAudioSysError);
    EXPECT_EQ(in.LastError(), uint32_t(WAVERR_BADFORMAT));
    EXPECT_FALSE(in.Active());
    int errors = 0;
    in.OnError = [&](TWaveAudioIO*) { ++errors; };
    EXPECT_FALSE(in.OpenDevice());
    EXPECT_EQ(errors, 1);
    EXPECT_FALSE(in.QueryPCM(Stereo16bit22050Hz));
}

TEST_P(EngineModes, OpenFailingAfterTheQueryLeavesTheDeviceClosed) {
    TSimFaults faults;
    faults.openAfterQuery = MMSYSERR_ALLOCATED;
    sim->SetFaults(faults);
    TTestOut out(log, Pattern(1000));
    out.SetAsync(GetParam());
    EXPECT_FALSE(out.OpenDevice());  // the raised error is not passed on
    EXPECT_EQ(out.LastError(), uint32_t(MMSYSERR_ALLOCATED));
    EXPECT_FALSE(out.Active());
    out.WaitForStop();
    sim->SetFaults({});
    EXPECT_TRUE(out.OpenDevice());  // and it opens once the device is free
    ASSERT_TRUE(RunUntil([&] { return Deactivated() == 1; }));
}

TEST_F(EngineTest, NoFormatMeansNoOpen) {
    TTestIn in(log);
    in.SetPCMFormat(nonePCM);
    EXPECT_FALSE(in.OpenDevice());
    EXPECT_FALSE(in.Active());
    EXPECT_EQ(in.LastError(), 0u);
    EXPECT_EQ(OpenWaveDeviceCount(), 0);
    EXPECT_FALSE(in.QueryPCM(nonePCM));
    EXPECT_TRUE(in.QueryPCM(Stereo16bit22050Hz));

    // A format handler supplies the format; the opener frees it.
    in.OnFormat = [](TWaveAudioIO*, PWaveFormatEx& f, bool& freeIt) {
        f = AllocWaveFormat(0);
        PCMFormatToWaveFormat(f, Mono8bit11025Hz);
        freeIt = true;
    };
    EXPECT_TRUE(in.OpenDevice());
    ASSERT_TRUE(WaitUntil([&] { return Activated() == 1; }));
    sim->Advance(1000);
    ASSERT_TRUE(WaitUntil([&] { return Buffers() == 1; }));
    EXPECT_EQ(log.sizes[0], 11025u);
    in.SetActive(false);
    in.WaitForStop();
}

// ------------------------------------------------------------ pool, time, formats, conversions

TEST_F(EngineTest, ReleasingAForeignBlockFreesOnlyTheHeader) {
    TTestIn in(log);
    std::vector<uint8_t> mine(100, 7);
    PWAVEHDR h = nullptr;
    ASSERT_TRUE(in.ResizeBuffer(h, 100, mine.data()));
    EXPECT_EQ(h->dwUser, 0u);
    EXPECT_EQ(in.QueuedBufferCount(), 1);
    ASSERT_TRUE(in.ResizeBuffer(h, 0, nullptr));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(in.QueuedBufferCount(), 0);
    EXPECT_EQ(mine[99], 7);  // still ours (ASan would catch a free)

    // An engine-owned block keeps its bytes when resized.
    ASSERT_TRUE(in.ResizeBuffer(h, 4, nullptr));
    std::memcpy(h->lpData, "abcd", 4);
    h->dwFlags = WHDR_PREPARED;
    ASSERT_TRUE(in.ResizeBuffer(h, 8, nullptr));
    EXPECT_EQ(std::memcmp(h->lpData, "abcd", 4), 0);
    EXPECT_EQ(h->dwFlags, 0u);
    EXPECT_EQ(h->dwBufferLength, 8u);
    // Wrapping a caller's block frees the engine's.
    ASSERT_TRUE(in.ResizeBuffer(h, 100, mine.data()));
    EXPECT_EQ(h->lpData, reinterpret_cast<char*>(mine.data()));
    in.ResizeBuffer(h, 0, nullptr);
}

TEST_F(EngineTest, DeviceTimeInMilliseconds) {
    TTestIn in(log);
    tWAVEFORMATEX f{};
    PCMFormatToWaveFormat(&f, Stereo16bit22050Hz);
    in.SetFormat(f);
    MMTIME t{};
    t.wType = TIME_BYTES;
    t.u.cb = 2250000;
    EXPECT_EQ(in.DeviceTimeToMs(t), 25510u);
    t.wType = TIME_SAMPLES;
    t.u.sample = 33075;
    EXPECT_EQ(in.DeviceTimeToMs(t), 1500u);
    t.wType = TIME_MS;
    t.u.ms = 1234;
    EXPECT_EQ(in.DeviceTimeToMs(t), 1234u);
    t = {};
    t.wType = TIME_SMPTE;
    t.u.smpte.min = 1;
    t.u.smpte.sec = 2;
    t.u.smpte.frame = 10;
    EXPECT_EQ(in.DeviceTimeToMs(t), 62000u);
    t.wType = TIME_MIDI;
    EXPECT_EQ(in.DeviceTimeToMs(t), 0u);
    in.SetFormat(tWAVEFORMATEX{});
    t.wType = TIME_BYTES;
    EXPECT_EQ(in.DeviceTimeToMs(t), 0u);  // no rate
}

TEST_F(EngineTest, FormatSetsFromCapabilities) {
    const TWaveDeviceFormats none = TTestIn::FormatsFromCaps(0);
    EXPECT_EQ(none, (TWaveDeviceFormats{Mono8Bit8000Hz, Stereo8bit8000Hz, Mono16bit8000Hz, Stereo16bit8000Hz}));
    const TWaveDeviceFormats all = TTestIn::FormatsFromCaps(0xFFFFFFFF);
    EXPECT_EQ(all.Count(), 16);
    EXPECT_TRUE(all.Contains(Mono8bit11025Hz));
    EXPECT_TRUE(all.Contains(Stereo16bit44100Hz));
    EXPECT_FALSE(all.Contains(Mono8bit48000Hz));
    EXPECT_FALSE(all.Contains(nonePCM));
    EXPECT_TRUE(TTestIn::FormatsFromCaps(WAVE_FORMAT_2S16).Contains(Stereo16bit22050Hz));

    sim->SetDevices(TWaveDirection::wdOutput, {{"Sync only", WAVE_FORMAT_4S16, 2, WAVECAPS_SYNC}});
    TTestOut out(log, {});
    EXPECT_TRUE(out.DeviceSupports().IsEmpty());
    EXPECT_TRUE(out.DeviceFormats().Contains(Stereo16bit44100Hz));
    EXPECT_FALSE(out.DeviceFormats().Contains(Stereo16bit22050Hz));
    EXPECT_THROW(out.SetDeviceID(3), EWaveAudioSysError);  // no such device
    EXPECT_EQ(out.DeviceID(), WAVE_MAPPER);
}

TEST_F(EngineTest, CapabilitiesSetsFromSupportBits) {
    sim->SetDevices(TWaveDirection::wdOutput,
                    {{"A", 0, 2, WAVECAPS_LRVOLUME | WAVECAPS_PITCH},
                     {"B", 0, 2, WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_PLAYBACKRATE | WAVECAPS_SAMPLEACCURATE | 0x40}});
    TTestOut out(log, {});
    out.SetDeviceID(0);
    EXPECT_EQ(out.DeviceSupports(), (TWaveOutDeviceSupports{dsAsynchronize, dsPitch}));
    out.SetDeviceID(1);
    EXPECT_EQ(out.DeviceSupports(), (TWaveOutDeviceSupports{dsAsynchronize, dsVolume, dsStereoVolume,
                                                            dsPlaybackRate, dsPosition, dsDirectSound}));
}

TEST_F(EngineTest, VolumeIsAppliedOnlyWithTheOptionAndReadBackFromTheDevice) {
    TTestOut out(log, Pattern(88200 * 20));
    out.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return out.Count() == 2; }));
    // Options empty: the value is stored but the device keeps its own,
    // which the next read brings back.
    const uint16_t deviceLeft = out.VolumeLeft();
    const uint16_t deviceRight = out.VolumeRight();
    out.SetVolumeLeft(deviceLeft == 20 ? 21 : 20);
    EXPECT_EQ(out.VolumeLeft(), deviceLeft);
    out.SetOptions({woSetVolume});
    out.SetVolumeLeft(30);
    EXPECT_EQ(out.VolumeLeft(), 30);
    EXPECT_EQ(out.VolumeRight(), deviceRight);
    EXPECT_EQ(out.Volume(), (30 + deviceRight) / 2);
    out.SetActive(false);
    out.WaitForStop();
    EXPECT_EQ(out.VolumeLeft(), 30);  // closed: the stored values
}

TEST_F(EngineTest, MonoVolumeDeviceGetsTheAverage) {
    sim->SetDevices(TWaveDirection::wdOutput, {{"Mono volume", 0, 2, WAVECAPS_VOLUME}});
    TTestOut out(log, Pattern(88200 * 20));
    out.SetOptions({woSetVolume});
    out.SetVolumeRight(50);
    out.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return out.Count() == 2; }));
    out.SetVolumeLeft(100);
    EXPECT_EQ(out.VolumeLeft(), 75);
    EXPECT_EQ(out.VolumeRight(), 75);
    out.SetActive(false);
    out.WaitForStop();
}

TEST(EngineConversions, VolumeAndFixedPoint) {
    EXPECT_EQ(PercentToVolume(75, 75), 0xBFFFBFFFu);
    uint16_t l = 0, r = 0;
    VolumeToPercent(0xBFFFBFFF, l, r);
    EXPECT_EQ(l, 75);
    EXPECT_EQ(r, 75);
    VolumeToPercent(0xFFFF0000, l, r);
    EXPECT_EQ(l, 0);
    EXPECT_EQ(r, 100);
    EXPECT_EQ(PercentToVolume(0, 100), 0xFFFF0000u);
    EXPECT_EQ(PercentToVolume(200, 0), (uint32_t(MulDiv(200, 0xFFFF, 100)) & 0xFFFF));  // not clamped
    EXPECT_EQ(FloatToFixed(1.0), 0x00010000u);
    EXPECT_EQ(FloatToFixed(1.5), 0x00018000u);
    EXPECT_EQ(FloatToFixed(0.75), 0x0000C000u);
    EXPECT_EQ(FloatToFixed(-1.0), 0u);
    EXPECT_EQ(FixedToFloat(0x00018000), 1.5);
    EXPECT_EQ(FixedToFloat(0xFFFF8000), -0.5);
}

}  // namespace
}  // namespace orvant
