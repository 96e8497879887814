// The stock recorder on the simulated input device: WAVE images in files,
// caller streams and storage items, checked by Python's wave module.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <atomic>
#include <filesystem>

#include "audio/WaveRecorders.h"
#include "players_support.h"

namespace orvant {
namespace {

using namespace playertest;

constexpr uint32_t kStereo22k = 88200;  // bytes per second of Stereo16bit22050Hz

class RecorderTest : public SimDeviceTest {
protected:
    RecorderTest() {
        sim->SetInputSine(440, 0.5);
        rec.SetPCMFormat(Stereo16bit22050Hz);
        rec.OnActivate = [this](TWaveAudioIO*) { ++activations; };
    }

    // Lets `ms` of input pass and waits until the device has handed all of
    // it to the queued buffers.
    void Record(uint32_t ms) {
        const uint64_t target = sim->CapturedFrames() + uint64_t(ms) * 22050 / 1000;
        sim->Advance(ms);
        ASSERT_TRUE(WaitFor([&] { return sim->CapturedFrames() >= target; }));
    }
    void StopAndWait(TStockAudioRecorder& r) {
        r.Stop();
        ASSERT_TRUE(WaitFor([&] { return !r.Active(); }));
    }

    TStockAudioRecorder rec;
    std::atomic<int> activations{0};
};

TEST_F(RecorderTest, TwoAndAHalfSecondsMakeTheDataPartAndAFileFortySixBytesLonger) {
    const std::string take = dir / "take.wav";
    ASSERT_TRUE(rec.RecordToFile(take));
    ASSERT_TRUE(WaitFor([&] { return activations == 1; }));
    Record(2000);
    // While it records, the header states what the file holds: a take cut
    // short by a crash opens in any reader.
    ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(take).size() == 46u + 2 * kStereo22k; }));
    TPyWave partial = PythonReadWave(take);
    ASSERT_TRUE(partial.ok) << partial.error;
    EXPECT_EQ(partial.frames, 44100);
    Record(500);
    StopAndWait(rec);

    const std::vector<uint8_t> bytes = ReadFileBytes(take);
    EXPECT_EQ(bytes.size(), 220500u + 46u);
    const TPyWave w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.rate, 22050);
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.width, 2);
    EXPECT_EQ(w.frames, 55125);
    EXPECT_TRUE(FileIsFree(take));
}

TEST_F(RecorderTest, WithACallbackThreadTheTakeIsWrittenThere) {
    const std::string take = dir / "take.wav";
    rec.SetAsync(true);
    ASSERT_TRUE(rec.RecordToFile(take));
    ASSERT_TRUE(WaitFor([&] { return activations == 1; }));
    Record(2000);
    StopAndWait(rec);
    // Active turns false inside the close handler; the file is complete by then.
    const TPyWave w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.frames, 44100);
    EXPECT_TRUE(FileIsFree(take));
}

TEST_F(RecorderTest, WhileRecordingOthersMayReadButNotWriteTheTake) {
    const std::string take = dir / "take.wav";
    ASSERT_TRUE(rec.RecordToFile(take));
    ASSERT_TRUE(WaitFor([&] { return activations == 1; }));
    EXPECT_NO_THROW(TFileStream(take, fmOpenRead | fmShareDenyNone));
    EXPECT_THROW(TFileStream(take, fmOpenWrite | fmShareDenyNone), EFOpenError);
    // A second recording of the same take cannot create it; the running
    // one goes on untouched.
    TStockAudioRecorder other;
    EXPECT_THROW(other.RecordToFile(take), EFCreateError);
    EXPECT_THROW(rec.RecordToFile(take), EFCreateError);
    EXPECT_TRUE(rec.Active());
    Record(1000);
    StopAndWait(rec);
    const TPyWave w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.frames, 22050);
}

TEST_F(RecorderTest, StoppedBeforeAnyMessageRecordsNoTake) {
    const std::string take = dir / "take.wav";
    ASSERT_TRUE(rec.RecordToFile(take));
    EXPECT_TRUE(rec.Stop());   // nothing dispatched yet
    EXPECT_FALSE(rec.Stop());  // already closing: nothing changes
    ASSERT_TRUE(WaitFor([&] { return !rec.Active(); }));
    // The device never recorded: no take, and nothing left behind.
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST_F(RecorderTest, ARecordingAfterOneStoppedBeforeItsOpenRecordsAgain) {
    int errors = 0;
    rec.OnError = [&](TWaveAudioIO*) { ++errors; };
    ASSERT_TRUE(rec.RecordToFile(dir / "first.wav"));
    rec.Stop();
    ASSERT_TRUE(WaitFor([&] { return !rec.Active(); }));
    // The open message of the stopped device must not leave the recorder
    // paused, or the next take would stay empty.
    ASSERT_FALSE(rec.Paused());
    const std::string take = dir / "second.wav";
    const int before = activations;
    ASSERT_TRUE(rec.RecordToFile(take));
    ASSERT_TRUE(WaitFor([&] { return activations == before + 1; }));
    Record(1000);
    StopAndWait(rec);
    const TPyWave w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.frames, 22050);
    EXPECT_EQ(errors, 0);
}

// An existing take stays byte for byte until the device really records.
TEST_F(RecorderTest, AnExistingTakeOutlivesADeviceThatRefusesOrDoesNotStart) {
    const std::string take = dir / "take.wav";
    const std::vector<uint8_t> old = PCMWaveImage(2, 22050, 16, Pattern(kStereo22k));
    WriteFile(take, old);
    auto leftovers = [&] {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir.Path())) n += e.path() != take;
        return n;
    };
    struct TCase {
        const char* what;
        TSimFaults faults;
        MMRESULT code;
    };
    TSimFaults query, busy, afterQuery, start;
    query.query = WAVERR_BADFORMAT;
    busy.busy = true;
    afterQuery.openAfterQuery = MMSYSERR_NODRIVER;
    start.start = MMSYSERR_NODRIVER;
    for (const TCase& c : {TCase{"format refused", query, WAVERR_BADFORMAT}, TCase{"busy", busy, MMSYSERR_ALLOCATED},
                           TCase{"open fails", afterQuery, MMSYSERR_NODRIVER},
                           TCase{"start fails", start, MMSYSERR_NODRIVER}}) {
        SCOPED_TRACE(c.what);
        sim->SetFaults(c.faults);
        int errors = 0;
        uint32_t code = 0;
        rec.OnError = [&](TWaveAudioIO* sender) {
            ++errors;
            code = sender->LastError();
        };
        const bool opened = rec.RecordToFile(take);
        ASSERT_TRUE(WaitFor([&] { return errors == 1 && !rec.Active(); }));
        // Only a device that opened and then failed to start reports later.
        EXPECT_EQ(opened, c.faults.start != 0);
        EXPECT_EQ(code, uint32_t(c.code));
        EXPECT_EQ(ReadFileBytes(take), old);
        EXPECT_EQ(leftovers(), 0u);
        EXPECT_TRUE(FileIsFree(take));
    }
    // Without an error handler the platform's error reaches the caller.
    sim->SetFaults(query);
    rec.OnError = nullptr;
    EXPECT_THROW(rec.RecordToFile(take), EWaveAudioSysError);
    EXPECT_EQ(ReadFileBytes(take), old);
    // A working device replaces it once it records.
    sim->SetFaults({});
    ASSERT_TRUE(rec.RecordToFile(take));
    ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(take).size() == 46u; }));
    Record(1000);
    StopAndWait(rec);
    EXPECT_EQ(ReadFileBytes(take).size(), 46u + kStereo22k);
    EXPECT_EQ(leftovers(), 0u);
}

TEST_F(RecorderTest, DestroyingARecordingRecorderLeavesACompleteFile) {
    const std::string take = dir / "take.wav";
    {
        TStockAudioRecorder r;
        r.SetPCMFormat(Stereo16bit22050Hz);
        ASSERT_TRUE(r.RecordToFile(take));
        r.OnActivate = [this](TWaveAudioIO*) { ++activations; };
        ASSERT_TRUE(WaitFor([&] { return activations == 1; }));
        Record(1500);
    }
    const TPyWave w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.frames, 33075);  // every captured byte is in the file
    EXPECT_EQ(ReadFileBytes(take).size(), 46u + 33075u * 4);
    EXPECT_TRUE(FileIsFree(take));
}

TEST_F(RecorderTest, ANewRecordingWaitsForThePreviousCloseBeforeTakingOver) {
    const std::string first = dir / "first.wav";
    const std::string second = dir / "second.wav";
    ASSERT_TRUE(rec.RecordToFile(first));
    ASSERT_TRUE(WaitFor([&] { return activations == 1; }));
    Record(1500);
    // Starting anew stops the first recording; its buffers and its close
    // must still go to the first file, complete before the call returns.
    ASSERT_TRUE(rec.RecordToFile(second));
    TPyWave w = PythonReadWave(first);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.frames, 33075);
    EXPECT_TRUE(FileIsFree(first));

    ASSERT_TRUE(WaitFor([&] { return activations == 2; }));
    Record(1000);
    StopAndWait(rec);
    w = PythonReadWave(second);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.frames, 22050);
}

TEST_F(RecorderTest, RecordsIntoACallersStreamWhichStaysTheCallers) {
    TMemoryStream target;
    ASSERT_TRUE(rec.RecordToStream(&target));
    ASSERT_TRUE(WaitFor([&] { return activations == 1; }));
    Record(1000);
    StopAndWait(rec);
    ASSERT_EQ(target.Size(), 46 + 88200);
    TWaveStreamAdapter check(&target);
    EXPECT_TRUE(check.Valid());
    EXPECT_EQ(check.PCMFormat(), Stereo16bit22050Hz);
    EXPECT_EQ(check.DataSize(), 88200u);
}

// A stream that takes only so many bytes, like a disk that fills up: a
// write that does not fit is cut short, as the system does.
class TFullDiskStream : public TMemoryStream {
public:
    explicit TFullDiskStream(int64_t room) : room(room) {}
    int32_t Write(const void* buffer, int32_t count) override {
        const int64_t fits = std::max<int64_t>(0, std::min<int64_t>(count, room - Position()));
        if (fits == 0 && count > 0) return -1;
        return TMemoryStream::Write(buffer, int32_t(fits));
    }
    int64_t room;
};

// Lets a test see how many buffers the device has.
class TBufferCountingRecorder : public TStockAudioRecorder {
public:
    using TStockAudioRecorder::QueuedBufferCount;
};

TEST_F(RecorderTest, AFailedWriteKeepsWholeFramesAndTheBufferGoesOn) {
    // Room for the header, one second and 250.25 frames of the next.
    TFullDiskStream target(46 + 88200 + 1001);
    TBufferCountingRecorder r;
    r.SetPCMFormat(Stereo16bit22050Hz);
    r.OnActivate = [this](TWaveAudioIO*) { ++activations; };
    int errors = 0;
    uint32_t reported = 0;
    r.OnError = [&](TWaveAudioIO* sender) {
        ++errors;
        reported = sender->LastError();
    };
    ASSERT_TRUE(r.RecordToStream(&target));
    ASSERT_TRUE(WaitFor([&] { return activations == 1; }));
    Record(2000);
    ASSERT_TRUE(WaitFor([&] { return errors >= 1; }));
    EXPECT_EQ(reported, uint32_t(MMSYSERR_ERROR));
    EXPECT_TRUE(r.Active());
    // No part of a frame was left behind, and the failed buffer is queued again.
    EXPECT_EQ(target.Size(), 46 + 88200 + 1000);
    EXPECT_EQ(r.QueuedBufferCount(), 2u);
    // Space again: the recording goes on.
    target.room = 1 << 30;
    Record(1000);
    ASSERT_TRUE(WaitFor([&] { return target.Size() == 46 + 2 * 88200 + 1000; }));
    EXPECT_EQ(r.QueuedBufferCount(), 2u);
    r.Stop();
    ASSERT_TRUE(WaitFor([&] { return !r.Active(); }));
    TWaveStreamAdapter check(&target);
    EXPECT_TRUE(check.Valid());
    EXPECT_EQ(check.DataSize(), 2u * 88200u + 1000u);
}

TEST_F(RecorderTest, ADeviceThatFailsMidTakeEndsItReadablyAndTheNextTakeRecords) {
    const std::string take = dir / "take.wav";
    TSimFaults gone;
    gone.io = MMSYSERR_READERROR;  // what a failing stream gives
    gone.ioAfterFrames = 33075;
    sim->SetFaults(gone);
    std::string text;
    rec.OnError = [&](TWaveAudioIO* sender) { text = sender->LastErrorText(); };
    ASSERT_TRUE(rec.RecordToFile(take));
    ASSERT_TRUE(WaitFor([&] { return activations == 1; }));
    sim->Advance(2000);
    // The recorder closes by itself, with words a speaker understands.
    ASSERT_TRUE(WaitFor([&] { return !rec.Active(); }));
    EXPECT_EQ(text.rfind("The sound device stopped working", 0), 0u) << text;
    TPyWave w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.frames, 33075);
    sim->SetFaults({});
    ASSERT_TRUE(rec.RecordToFile(take));
    ASSERT_TRUE(WaitFor([&] { return activations == 2; }));
    Record(1000);
    StopAndWait(rec);
    w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.frames, 22050);
}

// A stream that refuses every write once told to.
class TRefusingStream : public TMemoryStream {
public:
    int32_t Write(const void* buffer, int32_t count) override {
        return refuse ? -1 : TMemoryStream::Write(buffer, count);
    }
    bool refuse = false;
};

TEST_F(RecorderTest, ATakeWhoseSizesCannotBeWrittenIsReportedAtTheClose) {
    TRefusingStream target;
    int whileOpen = 0, afterClose = 0;
    rec.OnError = [&](TWaveAudioIO* sender) { ++(sender->Active() ? whileOpen : afterClose); };
    ASSERT_TRUE(rec.RecordToStream(&target));
    ASSERT_TRUE(WaitFor([&] { return activations == 1; }));
    Record(1000);
    target.refuse = true;
    StopAndWait(rec);
    EXPECT_EQ(afterClose, 1);  // the image could not be completed
    EXPECT_EQ(rec.LastError(), uint32_t(MMSYSERR_ERROR));
}

TEST_F(RecorderTest, StockItemsAndTheirAbsence) {
    try {
        rec.SetActive(true);
        FAIL() << "no exception";
    } catch (const EWaveAudioInvalidOperation& e) {
        EXPECT_STREQ(e.what(), "Stock property is not assigned");
    }
    EXPECT_THROW(rec.RecordToStock(1), EWaveAudioInvalidOperation);

    auto* stock = new TMemoryWaveStorage(2);
    rec.SetStock(stock);
    ASSERT_TRUE(rec.RecordToStock(1));
    ASSERT_TRUE(WaitFor([&] { return activations == 1; }));
    Record(1000);
    StopAndWait(rec);
    EXPECT_EQ(stock->Item(1).Size(), 46 + 88200);
    EXPECT_EQ(stock->Item(0).Size(), 0);

    rec.SetActive(true);  // item 0
    EXPECT_TRUE(rec.Active());
    rec.SetActive(false);
    ASSERT_TRUE(WaitFor([&] { return !rec.Active(); }));
    EXPECT_EQ(stock->Item(0).Size(), 46);

    delete stock;  // the recorder lets go of it
    EXPECT_EQ(rec.Stock(), nullptr);
}

// Hands-free: a take that runs on is cut at 60 s; the take before stays
// until there is speech; one stopped while it runs is kept.
TEST_F(RecorderTest, HandsFreeTakesEndAtTheLongestReplaceOnlyOnSpeechAndAreKeptWhenStopped) {
    // One second of silence, then 70 s of speech-like bursts (200 ms of a
    // tone, 100 ms of silence) that never pause long enough to end a take.
    std::vector<uint8_t> image(44 + 71 * size_t(kStereo22k));
    tWAVEFORMATEX f{};
    PCMFormatToWaveFormat(&f, Stereo16bit22050Hz);
    const uint32_t data = uint32_t(image.size() - 44), riff = data + 36, fmt = 16;
    std::memcpy(image.data(), "RIFFxxxxWAVEfmt xxxx", 20);
    std::memcpy(image.data() + 4, &riff, 4);
    std::memcpy(image.data() + 16, &fmt, 4);
    std::memcpy(image.data() + 20, &f, 16);
    std::memcpy(image.data() + 36, "data", 4);
    std::memcpy(image.data() + 40, &data, 4);
    for (size_t frame = 22050; frame < data / 4; ++frame) {
        const int16_t v = frame % 6615 < 4410 ? int16_t(8000 * std::sin(double(frame) * 0.1)) : 0;
        std::memcpy(image.data() + 44 + 4 * frame, &v, 2);
        std::memcpy(image.data() + 46 + 4 * frame, &v, 2);
    }
    sim->SetInputWave(std::move(image));
    const std::string take = dir / "take.wav";
    WriteFile(take, std::string("old take"));

    std::vector<std::pair<std::string, int>> events;
    std::vector<std::string> errors;
    SetApplicationExceptionHandler([&](const std::exception& e) { errors.push_back(e.what()); });
    THandsFreeRecorder hf;
    hf.SetPCMFormat(Stereo16bit22050Hz);
    hf.SetBufferLength(50);
    hf.SetBufferCount(40);
    hf.OnTakeBegin = [&](THandsFreeRecorder*, const std::string& file) { events.emplace_back(file, -1); };
    hf.OnTakeEnd = [&](THandsFreeRecorder*, const std::string& file, THandsFreeRecorder::TTakeEnd how) {
        events.emplace_back(file, int(how));
    };
    hf.OnActivate = [this](TWaveAudioIO*) { ++activations; };
    ASSERT_TRUE(hf.Listen());
    ASSERT_TRUE(WaitFor([&] { return activations == 1; }));
    const auto record = [&](uint32_t ms) {
        const uint64_t target = hf.FramesHeard() + uint64_t(ms) * 22050 / 1000;
        sim->Advance(ms);
        // The device hands over whole buffers (50 ms).
        ASSERT_TRUE(WaitFor([&] { return hf.FramesHeard() + 1103 >= target; })) << hf.FramesHeard() << " " << target;
    };
    hf.Arm(take, 800);
    record(900);
    EXPECT_FALSE(hf.Recording());
    EXPECT_EQ(testsupport::ReadFile(take), "old take");  // nothing said yet: the take before stays
    for (int s = 0; s < 63 && !::testing::Test::HasFatalFailure(); ++s) record(1000);
    EXPECT_EQ(errors, std::vector<std::string>{});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], (std::pair<std::string, int>{take, -1}));
    EXPECT_EQ(events[1], (std::pair<std::string, int>{take, int(THandsFreeRecorder::teLimit)}));
    EXPECT_FALSE(hf.Armed());
    TPyWave w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.frames, 60 * 22050);
    EXPECT_TRUE(FileIsFree(take));

    // Armed again in the middle of the speech: a new take, kept when the
    // recorder stops under it.
    const uint64_t armedAt = hf.FramesHeard();
    hf.Arm(take, 800);
    record(2000);
    EXPECT_TRUE(hf.Recording());
    hf.Stop();
    ASSERT_TRUE(WaitFor([&] { return !hf.Active(); }));
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[3], (std::pair<std::string, int>{take, int(THandsFreeRecorder::teStopped)}));
    w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    // What was heard from the onset (with its soft lead-in and pre-roll) to the stop.
    EXPECT_GT(w.frames, 22050 * 15 / 10);
    EXPECT_LE(uint64_t(w.frames), hf.FramesHeard() - armedAt + 22050 / 2);
    EXPECT_FALSE(std::filesystem::exists(dir / ".take.wav.recording"));
    EXPECT_EQ(errors, std::vector<std::string>{});
    SetApplicationExceptionHandler({});
}

}  // namespace
}  // namespace orvant
