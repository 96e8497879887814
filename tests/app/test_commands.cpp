// The seven commands on the simulated sound device: recording takes,
// playing samples and takes, pausing, stopping, and what the window shows
// afterwards. Takes are checked by Python's wave module.
#include "tests/app/AppTest.h"

#include <QDeadlineTimer>
#include <QMessageBox>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <thread>

#include "audio/WavePlayers.h"
#include "audio/WaveRecorders.h"
#include "platform/Streams.h"
#include "platform/wavedev/sim/SimWaveBackend.h"
#include "platform/widgets/FlatButton.h"

namespace orvant::test {
namespace {

// A 22050 Hz, 16-bit stereo WAV file of ms milliseconds of a sine.
void WriteWav(const std::string& path, uint32_t ms, double hz) {
    const uint32_t frames = 22050 * ms / 1000, data = frames * 4;
    std::string b;
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) b += char((v >> (8 * i)) & 0xFF); };
    auto u16 = [&](uint16_t v) { b += char(v & 0xFF); b += char(v >> 8); };
    b += "RIFF"; u32(36 + data); b += "WAVEfmt "; u32(16);
    u16(1); u16(2); u32(22050); u32(88200); u16(4); u16(16);
    b += "data"; u32(data);
    for (uint32_t i = 0; i < frames; ++i) {
        const auto s = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * hz * i / 22050));
        u16(static_cast<uint16_t>(s)); u16(static_cast<uint16_t>(s));
    }
    ProgramFolder::Write(path, b);
}

// What Python's wave module reads from a file: channels, sample width,
// rate and frames; all -1 when it cannot read it as a WAVE file.
struct WaveFacts {
    int channels = -1, width = -1, rate = -1;
    long frames = -1;
};
WaveFacts ReadWave(const std::string& path) {
    const std::string cmd = "python3 -c \"import sys, wave; w = wave.open(sys.argv[1]); "
                            "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes())\" '" +
                            path + "' 2>/dev/null";
    WaveFacts f;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        if (std::fscanf(p, "%d %d %d %ld", &f.channels, &f.width, &f.rate, &f.frames) != 4) f = {};
        pclose(p);
    }
    return f;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool CanOpenForWriting(const std::string& path) {
    try {
        TFileStream s(path, fmOpenWrite | fmShareDenyNone);
        return true;
    } catch (const EFOpenError&) {
        return false;
    }
}

class Commands : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        InstallEngineExceptionDisplay();
        sim->SetInputSine(440, 0.5);
        pf.Catalogue(R"(<r caption="Top">
  <p caption="Hello" wav="h1"><c caption="Sub"/></p>
  <p caption="World" wav="w1"/>
  <p caption="Sneaky" wav="../escape"/>
</r>)");
        WriteWav(pf.dir + "samples/Hello.wav", 3000, 440);
        WriteWav(pf.dir + "samples/World.wav", 3000, 660);
        WriteWav(pf.dir + "recorded/h1.wav", 3000, 880);
        w = std::make_unique<TDlgSndRecMain>(pf.Exe());
        w->show();
        w->tv->expandAll();
        QApplication::processEvents();
    }
    void TearDown() override {
        w.reset();
        SetApplicationExceptionHandler({});
    }

    // Lets ms of device time pass in small steps, handling events between.
    void Run(uint32_t ms) {
        for (uint32_t t = 0; t < ms; t += 50) {
            sim->Advance(50);
            Pump();
        }
    }
    static void Pump() {
        QDeadlineTimer settle(30);
        while (!settle.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    template <class F>
    static bool PumpUntil(F done) {
        QDeadlineTimer limit(60000);
        while (!done() && !limit.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return done();
    }
    QTreeWidgetItem* Node(const char* caption) {
        return w->tv->findItems(caption, Qt::MatchExactly | Qt::MatchRecursive).value(0);
    }
    void Select(const char* caption) {
        w->tv->setCurrentItem(Node(caption));
        QApplication::processEvents();
    }
    std::string Take(const char* name) const { return pf.dir + "recorded/" + name; }
    std::string Sample(const char* name) const { return pf.dir + "samples/" + name; }
    void ExpectDevicesIdle() {
        EXPECT_FALSE(w->Player->Active());
        EXPECT_FALSE(w->Recorder->Active());
    }

    std::shared_ptr<TSimWaveBackend> sim = std::make_shared<TSimWaveBackend>(TSimClockMode::scmDriven);
    TWaveBackendInstall use{sim};
    ProgramFolder pf;
    ErrorBoxCapture errors;
    std::unique_ptr<TDlgSndRecMain> w;
};

TEST_F(Commands, RecThenStopLeavesCompleteTakeDrawnGreen) {
    Select("World");
    EXPECT_FALSE(w->btnPlayRecord->isEnabled());
    EXPECT_EQ(GreenPixels(w->tv, Node("World")), 0);
    w->btnRec->click();
    ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
    EXPECT_TRUE(w->Recorder->Active());
    // While recording: "Rec" and both play buttons off, "Pause" and "Stop" on.
    EXPECT_FALSE(w->btnRec->isEnabled());
    EXPECT_FALSE(w->btnPlaySample->isEnabled());
    EXPECT_FALSE(w->btnPlayRecord->isEnabled());
    EXPECT_TRUE(w->btnPause->isEnabled());
    EXPECT_TRUE(w->btnStop->isEnabled());
    Run(2500);
    w->btnStop->click();
    ExpectDevicesIdle();
    ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
    const WaveFacts f = ReadWave(Take("w1.wav"));
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.width, 2);
    EXPECT_EQ(f.rate, 22050);
    EXPECT_GE(f.frames, 22050);  // at least the first full second arrived
    EXPECT_LE(f.frames, 22050 * 3);
    EXPECT_EQ(std::filesystem::file_size(Take("w1.wav")), 46u + 4u * static_cast<uint64_t>(f.frames));
    QApplication::processEvents();
    EXPECT_GT(GreenPixels(w->tv, Node("World")), 0);
    EXPECT_TRUE(w->btnPlayRecord->isEnabled());
    EXPECT_TRUE(w->btnRec->isEnabled());
    EXPECT_FALSE(w->btnStop->isEnabled());
    EXPECT_FALSE(w->btnPause->isEnabled());
}

TEST_F(Commands, PausedRecordingEndsCompleteWithStop) {
    Select("World");
    w->btnRec->click();
    Run(1200);
    w->btnPause->click();
    EXPECT_TRUE(w->Recorder->Paused());
    EXPECT_TRUE(w->btnStop->isEnabled());
    Run(500);
    w->btnStop->click();
    ExpectDevicesIdle();
    EXPECT_GE(ReadWave(Take("w1.wav")).frames, 22050);
    // The next "Rec" records: the pause ended with that take.
    w->btnRec->click();
    EXPECT_FALSE(w->Recorder->Paused());
    Run(1200);
    w->btnStop->click();
    EXPECT_GE(ReadWave(Take("w1.wav")).frames, 22050);
    ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
}

TEST_F(Commands, RecOnChildWithoutNameRecordsItsParentsTake) {
    const auto before = std::filesystem::file_size(Take("h1.wav"));
    Select("Sub");
    EXPECT_TRUE(w->btnRec->isEnabled());
    w->btnRec->click();
    ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
    Run(1500);
    w->btnStop->click();
    const WaveFacts f = ReadWave(Take("h1.wav"));
    EXPECT_EQ(f.rate, 22050);
    EXPECT_GE(f.frames, 22050);
    EXPECT_NE(std::filesystem::file_size(Take("h1.wav")), before);  // the old take was replaced
    // Nothing else appeared in recorded/.
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(pf.dir + "recorded")) ++files;
    EXPECT_EQ(files, 1);
    EXPECT_GT(GreenPixels(w->tv, Node("Sub")), 0);
}

TEST_F(Commands, RecOnTakeNameLeavingRecordedFailsAndWritesNothing) {
    Select("Sneaky");
    w->btnRec->click();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_NE(errors.messages[0].find("../escape.wav"), std::string::npos) << errors.messages[0];
    EXPECT_EQ(errors.captions[0], ApplicationTitle().toStdString());
    EXPECT_FALSE(w->Recorder->Active());
    EXPECT_FALSE(std::filesystem::exists(pf.dir + "escape.wav"));
    EXPECT_FALSE(std::filesystem::exists(pf.dir + "recorded/../escape.wav"));
}

TEST_F(Commands, PlayRecordWhileSamplePlaysSwitchesToTheTake) {
    Select("Hello");
    w->btnPlaySample->click();
    ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
    EXPECT_TRUE(w->Player->Active());
    EXPECT_TRUE(w->btnStop->isEnabled());
    EXPECT_TRUE(w->btnPause->isEnabled());
    Run(300);
    EXPECT_FALSE(CanOpenForWriting(Sample("Hello.wav")));  // the player holds the sample
    w->btnPlayRecord->click();
    ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
    EXPECT_TRUE(w->Player->Active());
    EXPECT_TRUE(CanOpenForWriting(Sample("Hello.wav")));  // the sample was cut off
    EXPECT_FALSE(CanOpenForWriting(Take("h1.wav")));      // the take plays
    w->btnStop->click();
    ExpectDevicesIdle();
    EXPECT_TRUE(CanOpenForWriting(Take("h1.wav")));
}

TEST_F(Commands, PauseThenEitherPlayButtonResumes) {
    Select("Hello");
    w->btnPlaySample->click();
    Run(200);
    w->btnPause->click();
    EXPECT_TRUE(w->Player->Paused());
    w->btnPause->click();  // not a toggle
    EXPECT_TRUE(w->Player->Paused());
    w->btnPlayRecord->click();  // resumes the sample; the take is not started
    EXPECT_FALSE(w->Player->Paused());
    EXPECT_TRUE(w->Player->Active());
    EXPECT_FALSE(CanOpenForWriting(Sample("Hello.wav")));
    EXPECT_TRUE(CanOpenForWriting(Take("h1.wav")));
    // The resumed playback goes on to its end and the player stops by itself.
    Run(3500);
    EXPECT_TRUE(PumpUntil([&] { return !w->Player->Active(); }));
    // The buttons are refreshed only by the next command: "Stop" brings them up to date.
    EXPECT_TRUE(w->btnStop->isEnabled());
    w->btnStop->click();
    EXPECT_FALSE(w->btnStop->isEnabled());
    EXPECT_FALSE(w->btnPause->isEnabled());
}

TEST_F(Commands, PlayAfterAPausedPlaybackWasStoppedPlaysAtOnce) {
    Select("Hello");
    w->btnPlaySample->click();
    Run(200);
    w->btnPause->click();
    w->btnStop->click();
    ExpectDevicesIdle();
    // One press plays the take, not paused.
    w->btnPlayRecord->click();
    ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
    EXPECT_TRUE(w->Player->Active());
    EXPECT_FALSE(w->Player->Paused());
    EXPECT_FALSE(CanOpenForWriting(Take("h1.wav")));
    // The same after a selection change cut off a paused playback.
    w->btnPause->click();
    Select("World");
    EXPECT_FALSE(w->Player->Active());
    w->btnPlaySample->click();
    EXPECT_TRUE(w->Player->Active());
    EXPECT_FALSE(w->Player->Paused());
    sim->ClearOutput();
    Run(500);
    EXPECT_TRUE(PumpUntil([&] { return sim->PlayedFrames() > 0 && !sim->OutputBytes().empty(); }));
}

TEST_F(Commands, RecDuringPlaybackRunsBothAndPauseTakesThePlayer) {
    Select("Hello");
    w->btnPlaySample->click();
    Run(200);
    Select("World");  // a selection change stops the playback
    EXPECT_FALSE(w->Player->Active());
    w->btnPlaySample->click();
    Run(200);
    w->btnRec->click();
    ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
    EXPECT_TRUE(w->Player->Active());
    EXPECT_TRUE(w->Recorder->Active());
    EXPECT_FALSE(w->btnPlaySample->isEnabled());
    EXPECT_FALSE(w->btnPlayRecord->isEnabled());
    EXPECT_FALSE(w->btnRec->isEnabled());
    w->btnPause->click();
    EXPECT_TRUE(w->Player->Paused());
    EXPECT_FALSE(w->Recorder->Paused());
    Run(1200);
    // A selection change during a recording leaves it running.
    Select("Hello");
    EXPECT_TRUE(w->Recorder->Active());
    EXPECT_FALSE(w->btnRec->isEnabled());
    EXPECT_TRUE(w->btnStop->isEnabled());
    w->btnStop->click();
    ExpectDevicesIdle();
    EXPECT_GE(ReadWave(Take("w1.wav")).frames, 22050);
}

TEST_F(Commands, RecOnTheTakeThatPlaysFailsAndPlaybackGoesOn) {
    Select("Hello");
    const auto before = std::filesystem::file_size(Take("h1.wav"));
    w->btnPlayRecord->click();
    Run(200);
    w->btnRec->click();
    ASSERT_EQ(errors.messages.size(), 1u);
    const std::string expected = "Datei \"" + Take("h1.wav") + "\" kann nicht erstellt werden.";
    EXPECT_EQ(errors.messages[0].rfind(expected, 0), 0u) << errors.messages[0];
    EXPECT_TRUE(w->Player->Active());
    EXPECT_FALSE(w->Recorder->Active());
    EXPECT_EQ(std::filesystem::file_size(Take("h1.wav")), before);
    Run(200);
    EXPECT_TRUE(w->Player->Active());
}

TEST_F(Commands, PlayingAFileThatHasGoneShowsTheOpenError) {
    Select("World");
    EXPECT_TRUE(w->btnPlaySample->isEnabled());
    std::filesystem::remove(Sample("World.wav"));
    w->btnPlaySample->click();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(errors.messages[0].rfind("Datei " + Sample("World.wav") + " kann nicht geöffnet werden.", 0), 0u)
        << errors.messages[0];
    EXPECT_FALSE(w->Player->Active());
}

TEST_F(Commands, ADeviceThatRefusesOrFailsToOpenIsShownAndKeepsTheTake) {
    const std::string before = ReadFile(Take("h1.wav"));
    TSimFaults refused, busy;
    refused.query = WAVERR_BADFORMAT;
    busy.busy = true;  // the format is accepted, the open fails
    Select("Hello");
    for (const TSimFaults& f : {refused, busy}) {
        sim->SetFaults(f);
        errors.messages.clear();
        w->btnRec->click();
        ASSERT_EQ(errors.messages.size(), 1u);
        EXPECT_FALSE(w->Recorder->Active());
        EXPECT_EQ(ReadFile(Take("h1.wav")), before);
    }
    EXPECT_NE(errors.messages[0].find("already in use"), std::string::npos) << errors.messages[0];
}

TEST_F(Commands, ClosingWhileRecordingLeavesACompleteTake) {
    Select("World");
    w->btnRec->click();
    Run(1500);
    w->close();
    w.reset();
    const WaveFacts f = ReadWave(Take("w1.wav"));
    EXPECT_EQ(f.channels, 2);
    EXPECT_GE(f.frames, 22050);
}

TEST_F(Commands, ExitClosesTheWindowAtOnce) {
    Select("Hello");
    w->btnPlaySample->click();
    w->btnExit->click();
    EXPECT_FALSE(w->isVisible());
}

TEST_F(Commands, CompressAndUploadOpensTheDialogWhileRecordingGoesOn) {
    Select("World");
    w->btnRec->click();
    QString caption;
    bool recordingMeanwhile = false;
    QTimer::singleShot(50, [&] {
        if (QWidget* d = QApplication::activeModalWidget()) {
            caption = d->windowTitle();
            recordingMeanwhile = w->Recorder->Active();
            d->close();
        }
    });
    w->btnCompressAndUpload->click();
    EXPECT_EQ(caption, "Corvane Voice Record Upload");
    EXPECT_TRUE(recordingMeanwhile);
    EXPECT_TRUE(w->Recorder->Active());
    w->btnStop->click();
    EXPECT_EQ(ReadWave(Take("w1.wav")).rate, 22050);
}

TEST_F(Commands, EngineErrorsAreShownLaterOnceUntilTheNextCommand) {
    std::thread t([] { ShowApplicationException(EWaveAudioSysError("disk full")); });
    t.join();
    ShowApplicationException(EWaveAudioSysError("disk full"));  // the next buffer fails too
    EXPECT_TRUE(errors.messages.empty());  // never inside the failing handler itself
    ASSERT_TRUE(PumpUntil([&] { return !errors.messages.empty(); }));
    Pump();
    ShowApplicationException(EWaveAudioSysError("disk full"));
    Pump();
    EXPECT_EQ(errors.messages, std::vector<std::string>{"disk full"});
    // Another message is shown; after a command the first one is told again.
    ShowApplicationException(Exception("other"));
    Pump();
    Select("World");
    ShowApplicationException(EWaveAudioSysError("disk full"));
    Pump();
    EXPECT_EQ(errors.messages, (std::vector<std::string>{"disk full", "other", "disk full"}));
}

TEST(ErrorBox, IsAMessageBoxWithTheApplicationsTitle) {
    App();
    ProgramFolder pf;  // no catalogue
    QString caption, text;
    QTimer::singleShot(0, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            caption = box->windowTitle();
            if (auto* mb = qobject_cast<QMessageBox*>(box)) text = mb->text();
            box->close();
        }
    });
    TDlgSndRecMain w(pf.Exe());
    EXPECT_EQ(caption, "Orvant Sound Recording Tool");
    EXPECT_TRUE(text.contains(QString::fromStdString(pf.dir + "orvant.xml"))) << text.toStdString();
}

}  // namespace
}  // namespace orvant::test
