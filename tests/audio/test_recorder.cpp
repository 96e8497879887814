// The stock recorder on the simulated input device: WAVE images in files,
// caller streams and storage items, checked by Python's wave module.
#include <gtest/gtest.h>

#include <atomic>

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
    Record(2500);
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

TEST_F(RecorderTest, StoppedBeforeAnyMessageStillGivesAValidWave) {
    const std::string take = dir / "take.wav";
    ASSERT_TRUE(rec.RecordToFile(take));
    EXPECT_TRUE(rec.Stop());   // nothing dispatched yet
    EXPECT_FALSE(rec.Stop());  // already closing: nothing changes
    ASSERT_TRUE(WaitFor([&] { return !rec.Active(); }));
    const TPyWave w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.rate, 22050);
    EXPECT_EQ(w.frames, 0);
    EXPECT_TRUE(FileIsFree(take));
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

TEST_F(RecorderTest, ExistingTakeIsEmptiedEvenWhenTheDeviceRefuses) {
    const std::string take = dir / "take.wav";
    WriteFileBytes(take, PCMWaveImage(2, 22050, 16, Pattern(kStereo22k)));
    TSimFaults faults;
    faults.query = WAVERR_BADFORMAT;
    sim->SetFaults(faults);

    // Without an error handler the platform's error reaches the caller.
    EXPECT_THROW(rec.RecordToFile(take), EWaveAudioSysError);
    EXPECT_EQ(rec.LastError(), uint32_t(WAVERR_BADFORMAT));
    EXPECT_FALSE(rec.Active());
    EXPECT_EQ(ReadFileBytes(take).size(), 46u);
    TPyWave w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.frames, 0);
    EXPECT_TRUE(FileIsFree(take));

    // With one, the result says it and the handler ran once.
    WriteFileBytes(take, PCMWaveImage(2, 22050, 16, Pattern(kStereo22k)));
    int errors = 0;
    rec.OnError = [&](TWaveAudioIO*) { ++errors; };
    EXPECT_FALSE(rec.RecordToFile(take));
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(ReadFileBytes(take).size(), 46u);
    EXPECT_TRUE(FileIsFree(take));
}

TEST_F(RecorderTest, ARealOpenThatFailsAfterTheQueryLeavesACompleteEmptyImage) {
    const std::string take = dir / "take.wav";
    TSimFaults faults;
    faults.busy = true;
    sim->SetFaults(faults);
    int errors = 0;
    rec.OnError = [&](TWaveAudioIO*) { ++errors; };
    EXPECT_FALSE(rec.RecordToFile(take));
    EXPECT_EQ(errors, 1);
    EXPECT_FALSE(rec.Active());
    const TPyWave w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.frames, 0);
    EXPECT_TRUE(FileIsFree(take));
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

// A stream that accepts only so many bytes, like a disk that fills up.
class TFullDiskStream : public TMemoryStream {
public:
    explicit TFullDiskStream(int64_t room) : fRoom(room) {}
    int32_t Write(const void* buffer, int32_t count) override {
        if (Position() + count > fRoom) return -1;
        return TMemoryStream::Write(buffer, count);
    }

private:
    int64_t fRoom;
};

TEST_F(RecorderTest, AFailedWriteIsReportedAndTheRecordingGoesOn) {
    // Room for the header and one second; the second buffer does not fit.
    TFullDiskStream target(46 + 88200 + 1000);
    int errors = 0;
    uint32_t reported = 0;
    rec.OnError = [&](TWaveAudioIO* sender) {
        ++errors;
        reported = sender->LastError();
    };
    ASSERT_TRUE(rec.RecordToStream(&target));
    ASSERT_TRUE(WaitFor([&] { return activations == 1; }));
    Record(2000);
    ASSERT_TRUE(WaitFor([&] { return errors >= 1; }));
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(reported, uint32_t(MMSYSERR_ERROR));
    EXPECT_TRUE(rec.Active());
    StopAndWait(rec);
    // The first second made it, and the header was completed for it.
    TWaveStreamAdapter check(&target);
    EXPECT_TRUE(check.Valid());
    EXPECT_EQ(check.DataSize(), 88200u);
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

}  // namespace
}  // namespace orvant
