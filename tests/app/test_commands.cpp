// The seven commands on the simulated sound device: recording takes,
// playing samples and takes, pausing, stopping, and what the window shows
// afterwards. Takes are checked by Python's wave module.
#include "tests/app/AppTest.h"

#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <thread>

#include "app/PhraseTree.h"
#include "audio/WavePlayers.h"
#include "audio/WaveRecorders.h"
#include "platform/Streams.h"
#include "platform/wavedev/sim/SimWaveBackend.h"
#include "platform/widgets/FlatButton.h"
#include "tests/support/Speech.h"

namespace orvant::test {
namespace {

// A 22050 Hz stereo WAV file of 8 or 16 bits holding the given mono
// samples on both channels (8-bit samples are given as unsigned bytes).
void WriteSamples(const std::string& path, const std::vector<int>& mono, int bits = 16) {
    const uint32_t block = bits / 4, data = uint32_t(mono.size()) * block;
    std::string b;
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) b += char((v >> (8 * i)) & 0xFF); };
    auto u16 = [&](uint16_t v) { b += char(v & 0xFF); b += char(v >> 8); };
    b += "RIFF"; u32(36 + data); b += "WAVEfmt "; u32(16);
    u16(1); u16(2); u32(22050); u32(22050 * block); u16(uint16_t(block)); u16(uint16_t(bits));
    b += "data"; u32(data);
    for (int s : mono)
        for (int c = 0; c < 2; ++c) {
            if (bits == 8) b += char(uint8_t(s));
            else u16(static_cast<uint16_t>(int16_t(s)));
        }
    ProgramFolder::Write(path, b);
}

// ms milliseconds of a sine of the given peak, every other 100 ms silent
// when gaps is set (speech comes in bursts).
std::vector<int> Sine(uint32_t ms, double hz, double peak, bool gaps = false) {
    std::vector<int> v(22050 * ms / 1000);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = gaps && (i / 2205) % 2 ? 0 : int(std::lround(peak * std::sin(2 * std::numbers::pi * hz * i / 22050)));
    return v;
}

// A 22050 Hz, 16-bit stereo WAV file of ms milliseconds of a sine in bursts.
void WriteWav(const std::string& path, uint32_t ms, double hz) { WriteSamples(path, Sine(ms, hz, 8000, true)); }

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
    const std::string out = testsupport::RunCommand(cmd);
    if (std::sscanf(out.c_str(), "%d %d %d %ld", &f.channels, &f.width, &f.rate, &f.frames) != 4) f = {};
    return f;
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

    // Lets ms of device time pass in steps of 50 ms; after each, the devices
    // and the window have done all that step asks of them.
    void Run(uint32_t ms) {
        for (uint32_t t = 0; t < ms; t += 50) {
            sim->Advance(50);
            ASSERT_TRUE(WaitFor([&] { return DevicesSettled(*sim); }, "the devices and the window to catch up"))
                << "at " << sim->NowUs() / 1000 << " ms of device time";
        }
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
    EXPECT_EQ(EnabledButtons(*w), "Exit Stop Pause CompressAndUpload");
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
    EXPECT_EQ(EnabledButtons(*w), "Exit PlaySample Rec PlayRecord CompressAndUpload");
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
    EXPECT_TRUE(WaitFor([&] { return !w->Player->Active(); }, "the player to stop at the end"));
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
    EXPECT_TRUE(WaitFor([&] { return sim->PlayedFrames() > 0 && !sim->OutputBytes().empty(); }, "the sample to play"));
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
    EXPECT_EQ(EnabledButtons(*w), "Exit Stop Pause CompressAndUpload");
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

TEST_F(Commands, RecOnTheTakeThatPlaysOrIsPausedStopsItAndRecordsAnew) {
    for (const bool paused : {false, true}) {
        SCOPED_TRACE(paused ? "paused" : "playing");
        // Longer than the player's two buffers: it is still playing, not
        // draining its last buffer (which the driven clock would never end).
        WriteWav(Take("h1.wav"), 3000, 880);
        Select("Hello");
        w->btnPlayRecord->click();
        Run(200);
        if (paused) w->btnPause->click();
        w->btnRec->click();
        ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
        EXPECT_FALSE(w->Player->Active());
        EXPECT_TRUE(w->Recorder->Active());
        Run(1200);
        w->btnStop->click();
        ExpectDevicesIdle();
        const WaveFacts f = ReadWave(Take("h1.wav"));  // the new take, not the old three seconds
        EXPECT_GE(f.frames, 22050);
        EXPECT_LT(f.frames, 22050 * 2);
    }
}

TEST_F(Commands, PlayingAFileThatHasGoneOrCannotPlayShowsTheOpenError) {
    Select("World");
    EXPECT_TRUE(w->btnPlaySample->isEnabled());
    std::filesystem::remove(Sample("World.wav"));
    w->btnPlaySample->click();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(errors.messages[0].rfind("Datei " + Sample("World.wav") + " kann nicht geöffnet werden.", 0), 0u)
        << errors.messages[0];
    EXPECT_FALSE(w->Player->Active());
    // A sample in a format no converter reads names the sample first, and
    // keeps the device's text after it.
    int rc = 0;
    testsupport::RunCommand("sox -n -r 22050 -e floating-point -b 64 '" + Sample("World.wav") +
                                "' synth 0.2 sine 440 2>&1",
                            &rc);
    ASSERT_EQ(rc, 0);
    errors.messages.clear();
    w->btnPlaySample->click();
    ASSERT_EQ(errors.messages.size(), 1u);
    const std::string& m = errors.messages[0];
    EXPECT_EQ(m.rfind("The reference sample \"World.wav\" cannot be played: its sound format is not one", 0), 0u) << m;
    EXPECT_NE(m.find("\n\nThe specified format is not supported"), std::string::npos) << m;
    EXPECT_FALSE(w->Player->Active());
}

TEST_F(Commands, ADeviceThatRefusesOrFailsToOpenIsShownAndKeepsTheTake) {
    const std::string before = testsupport::ReadFile(Take("h1.wav"));
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
        EXPECT_EQ(testsupport::ReadFile(Take("h1.wav")), before);
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
    ASSERT_TRUE(WaitFor([&] { return !errors.messages.empty(); }, "the error box"));
    QCoreApplication::sendPostedEvents();  // every display queued so far
    ShowApplicationException(EWaveAudioSysError("disk full"));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(errors.messages, std::vector<std::string>{"disk full"});
    // Another message is shown; after a command the first one is told again.
    ShowApplicationException(Exception("other"));
    QCoreApplication::sendPostedEvents();
    Select("World");
    ShowApplicationException(EWaveAudioSysError("disk full"));
    QCoreApplication::sendPostedEvents();
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

TEST(ErrorBox, ASoundSystemThatIsDownIsSaidInPlainWordsWithTheDetailAfter) {
    const struct {
        const char* text;
        bool plain;
    } cases[] = {
        {"Undefined external error. (ALSA default: Connection refused)", true},
        {"Recording could not start: Undefined external error. (ALSA default: Host is down) The take on disk was "
         "not changed.",
         true},
        {"The specified device is already in use. Wait until it is free, and then try again.", false},
        {"Undefined external error. (ALSA hw:31: No such file or directory)", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string words = InSpeakersWords(c.text);
        if (!c.plain) {
            EXPECT_EQ(words, c.text);
            continue;
        }
        EXPECT_EQ(words.rfind("The sound system is not running, or it refused the connection", 0), 0u) << words;
        EXPECT_NE(words.find("Start the sound system"), std::string::npos);
        EXPECT_EQ(words.substr(words.size() - std::string(c.text).size()), c.text);  // the detail after it
    }
}

// ---------------------------------------------------------------------------
// A long session at speed: keys, the level on "Rec", take checks, progress.

TEST(TakeCheck, FlagsFromGeneratedTakes) {
    ProgramFolder pf;
    std::vector<int> square(22050);
    for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 50) % 2 ? 32767 : -32768;
    std::vector<int> lowRail = Sine(1000, 440, 8000, true);
    lowRail[500] = -32768;  // one sample on the negative rail is a clip too
    std::vector<int> square8(22050);
    for (size_t i = 0; i < square8.size(); ++i) square8[i] = (i / 50) % 2 ? 255 : 0;
    // Speech in bursts over a room's noise 30 dB and 15 dB below it.
    const auto inNoise = [](double noisePeak) {
        std::vector<int> v = Sine(2000, 440, 8000, true);
        for (size_t i = 0; i < v.size(); ++i) v[i] += int(std::lround(noisePeak * std::sin(double(i * i % 7919))));
        return v;
    };
    const struct {
        const char* name;
        std::vector<int> samples;
        int bits;
        TTakeFlags flags;
    } cases[] = {
        {"speech", Sine(1500, 440, 8000, true), 16, 0},
        {"silence", std::vector<int>(22050, 0), 16, tfQuiet},
        {"square, never quiet", square, 16, tfClipped | tfNoisy},
        {"negative rail", lowRail, 16, tfClipped},
        {"just below -40 dBFS", Sine(1000, 440, 320, true), 16, tfQuiet},
        {"just above -40 dBFS", Sine(1000, 440, 340, true), 16, 0},
        {"quarter second", Sine(250, 440, 8000, true), 16, tfShort},
        {"quarter second, never quiet", Sine(250, 440, 8000), 16, tfShort},
        {"0.3 s", Sine(300, 440, 8000, true), 16, 0},
        {"noise 30 dB below", inNoise(8000 / 31.6), 16, 0},
        {"noise 15 dB below", inNoise(8000 / 5.6), 16, tfNoisy},
        {"a steady hum", Sine(1000, 100, 3000), 16, tfNoisy},
        {"short silence", std::vector<int>(2205, 0), 16, tfQuiet | tfShort},
        {"empty", {}, 16, tfShort},
        {"8-bit square", square8, 8, tfClipped},
        {"8-bit silence", std::vector<int>(22050, 128), 8, tfQuiet},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = pf.dir + "recorded/t.wav";
        WriteSamples(path, c.samples, c.bits);
        EXPECT_EQ(CheckTakeFile(path), (TTakeCheck{true, c.flags}));
    }
    // The peak summary beside the verdict: a second of speech with its
    // second half silent and a clip at 30 %, read as a reader sees it; the
    // verdict is the one the plain check gives.
    std::vector<int> halfSpoken = Sine(1000, 440, 16000);
    std::fill(halfSpoken.begin() + 11025, halfSpoken.end(), 0);
    halfSpoken[22050 * 3 / 10 + 7] = 32767;
    WriteSamples(pf.dir + "recorded/t.wav", halfSpoken);
    TTakePeaks peaks;
    EXPECT_EQ(CheckTakeFile(pf.dir + "recorded/t.wav", &peaks), CheckTakeFile(pf.dir + "recorded/t.wav"));
    for (size_t c = 0; c < TTakePeaks::kColumns; ++c) {
        SCOPED_TRACE(c);
        EXPECT_EQ(peaks.peak[c], c == 30 ? 255 : c < 50 ? 16000 * 254 / 32767 : 0);
    }
    WriteSamples(pf.dir + "recorded/t.wav", {});
    peaks.peak.fill(9);
    CheckTakeFile(pf.dir + "recorded/t.wav", &peaks);
    EXPECT_EQ(peaks, TTakePeaks{});  // nothing recorded, nothing drawn

    pf.Take("broken.wav");  // "RIFF" and nothing else
    EXPECT_EQ(CheckTakeFile(pf.dir + "recorded/broken.wav"), (TTakeCheck{true, tfUnreadable}));
    EXPECT_EQ(CheckTakeFile(pf.dir + "recorded/none.wav"), TTakeCheck{});
    EXPECT_EQ(CheckTakeFile(pf.dir + "recorded"), TTakeCheck{});  // a folder is no take
    EXPECT_EQ(DescribeTakeFlags(tfClipped | tfShort | tfNoisy), "clipped\nvery short\nnoisy");
}

TEST(LevelMeter, ShowsTimeAndLevelAndHoldsFullScaleForASecond) {
    App();
    TLevelMeterButton b("Rec");
    b.resize(135, 70);
    b.SetFontColor(QColor(255, 0, 0));
    b.SetColor(QColor(23, 22, 29));
    b.setEnabled(false);  // as while recording
    const auto shows = [&b](const QColor& c) {
        QImage img(b.size(), QImage::Format_RGB32);
        b.render(&img);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (QColor(img.pixel(x, y)) == c) return true;
        return false;
    };
    b.ShowLevel(50, 100);  // ignored while the meter is off
    EXPECT_FALSE(shows(TLevelMeterButton::kTrough));
    b.SetMetering(true);
    EXPECT_TRUE(shows(TLevelMeterButton::kTrough));
    EXPECT_FALSE(shows(TLevelMeterButton::kBar));
    EXPECT_TRUE(shows(QColor(255, 0, 0)));  // the caption keeps its colour on the meter
    b.ShowLevel(50, 1000);
    EXPECT_TRUE(shows(TLevelMeterButton::kBar));
    EXPECT_FALSE(shows(TLevelMeterButton::kFullScale));
    b.ShowLevel(100, 1100);
    EXPECT_TRUE(b.FullScaleShown());
    EXPECT_TRUE(shows(TLevelMeterButton::kFullScale));
    EXPECT_FALSE(shows(TLevelMeterButton::kBar));
    b.ShowLevel(30, 2000);
    EXPECT_TRUE(b.FullScaleShown());
    b.ShowLevel(30, 2100);
    EXPECT_FALSE(b.FullScaleShown());
    EXPECT_TRUE(shows(TLevelMeterButton::kBar));
    b.SetMetering(false);
    EXPECT_FALSE(shows(TLevelMeterButton::kTrough));
    EXPECT_EQ(TLevelMeterButton::FormatElapsed(83450), "1:23.4");
    EXPECT_EQ(TLevelMeterButton::BarFraction(1), 0.0);
    EXPECT_DOUBLE_EQ(TLevelMeterButton::BarFraction(10), 0.5);
    EXPECT_EQ(TLevelMeterButton::BarFraction(100), 1.0);
}

TEST_F(Commands, KeyboardAloneListensRecordsStopsListensBackAndMovesOn) {
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    w->tv->setFocus();
    const auto key = [&](int k, Qt::KeyboardModifiers m = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(k), m);
        QApplication::processEvents();
    };
    // Each command's key is in its button's tooltip.
    for (const auto& [b, k] : {std::pair{w->btnPlaySample, "F5"}, {w->btnRec, "F6"}, {w->btnStop, "F7"},
                               {w->btnPause, "F8"}, {w->btnPlayRecord, "F9"}})
        EXPECT_TRUE(b->toolTip().contains(QString("(%1)").arg(k))) << b->toolTip().toStdString();
    EXPECT_TRUE(w->btnRec->toolTip().endsWith("hands-free on or off (F11)")) << w->btnRec->toolTip().toStdString();

    key(Qt::Key_Down, Qt::ControlModifier);  // from the top node to the first phrase with a take name
    EXPECT_EQ(w->SelectedNode(), Node("Hello"));
    key(Qt::Key_F5);
    EXPECT_TRUE(w->Player->Active());
    key(Qt::Key_F6);  // records while the sample goes on
    ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
    EXPECT_TRUE(w->Recorder->Active());
    EXPECT_TRUE(w->Player->Active());
    EXPECT_TRUE(w->btnRec->Metering());
    key(Qt::Key_F6);  // "Rec" is disabled while recording: nothing happens
    Run(1000);
    // Fed by the recorder: a sine of half the full scale, and the time recorded.
    EXPECT_NEAR(w->btnRec->Level(), 50, 1);
    EXPECT_FALSE(w->btnRec->FullScaleShown());
    key(Qt::Key_F8);  // pauses the player, not the recorder
    EXPECT_TRUE(w->Player->Paused());
    key(Qt::Key_F7);
    ExpectDevicesIdle();
    EXPECT_FALSE(w->btnRec->Metering());
    EXPECT_GE(ReadWave(Take("h1.wav")).frames, 22050 * 9 / 10);
    key(Qt::Key_F9);  // the player was paused: resumes nothing, plays the take
    EXPECT_TRUE(w->Player->Active());
    Run(2500);  // heard to its end
    ASSERT_TRUE(WaitFor([&] { return !w->Player->Active(); }, "the player to stop at the end"));
    key(Qt::Key_Down, Qt::ControlModifier);  // skips "Sub", which has no take name
    EXPECT_EQ(w->SelectedNode(), Node("World"));
    key(Qt::Key_Down, Qt::ControlModifier);
    EXPECT_EQ(w->SelectedNode(), Node("Sneaky"));
    key(Qt::Key_Down, Qt::ControlModifier);  // the last one: stays
    EXPECT_EQ(w->SelectedNode(), Node("Sneaky"));
    key(Qt::Key_Up, Qt::ControlModifier);
    key(Qt::Key_Up, Qt::ControlModifier);
    EXPECT_EQ(w->SelectedNode(), Node("Hello"));
    // The plain arrow keys still belong to the tree, and the focus stayed
    // there through every command.
    EXPECT_EQ(QApplication::focusWidget(), w->tv);
    key(Qt::Key_Down);
    EXPECT_EQ(w->SelectedNode(), Node("Sub"));
    ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
}

TEST_F(Commands, ClickingAButtonLeavesTheFocusOnTheTreeAndTabStillReachesThem) {
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    w->tv->setFocus();
    Select("Hello");
    QTest::mouseClick(w->btnPlaySample, Qt::LeftButton);
    EXPECT_TRUE(w->Player->Active());
    QTest::mouseClick(w->btnStop, Qt::LeftButton);
    EXPECT_FALSE(w->Player->Active());
    EXPECT_EQ(QApplication::focusWidget(), w->tv);
    QTest::keyClick(w->tv, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), w->btnExit);
    QTest::keyClick(w->btnExit, Qt::Key_F5);  // the keys work from a button too
    EXPECT_TRUE(w->Player->Active());
}

TEST_F(Commands, TakesAreCheckedAfterEachTakeAndAtStartAndProgressIsCounted) {
    const auto settle = [&] { ASSERT_TRUE(WaitFor([&] { return w->PendingTakeChecks() == 0; }, "the take checks")); };
    const auto pixels = [&](const char* caption, const QColor& colour) {
        const QImage img = w->tv->viewport()->grab().toImage();
        const QRect r = w->tv->visualItemRect(Node(caption));
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                if (QColor(img.pixel(x, y)) == colour) ++n;
        return n;
    };
    const auto markerPixels = [&](const char* caption) { return pixels(caption, TPhraseTreeDelegate::kBadge); };
    settle();
    // Three phrases with a take name ("Sub" has none), one of them recorded.
    EXPECT_EQ(w->btnCompressAndUpload->Note(), "1 of 3 recorded");
    EXPECT_EQ(w->btnCompressAndUpload->text(), "Compress and Upload");
    EXPECT_EQ(w->TakeCheckOf("h1.wav"), (TTakeCheck{true, 0}));

    // Each take is checked when it ends; the count follows at once.
    const struct {
        double hz, amplitude;
        uint32_t ms;
        const char* verdict;
    } takes[] = {{440, 0.5, 1200, ""}, {5512.5, 1.0, 1200, "clipped"}, {440, 0.5, 100, "very short"},
                 {440, 0.0, 1200, "too quiet"}};
    for (const auto& t : takes) {
        SCOPED_TRACE(t.verdict);
        // In bursts, as speech comes: a steady tone would be "noisy".
        WriteSamples(pf.dir + "tone.wav", Sine(3000, t.hz, t.amplitude * 32767, true));
        sim->SetInputWave(testsupport::ReadFileBytes(pf.dir + "tone.wav"));
        Select("World");
        w->btnRec->click();
        EXPECT_EQ(w->NodeToolTip(Node("World")), "");  // the old verdict went with the old take
        EXPECT_EQ(w->btnCompressAndUpload->Note(), "2 of 3 recorded");
        Run(t.ms);
        EXPECT_EQ(w->btnRec->FullScaleShown(), t.amplitude == 1.0);
        w->btnStop->click();
        settle();
        EXPECT_EQ(w->NodeToolTip(Node("World")), t.verdict);
        // The marker stands beside the caption; the row stays green.
        Select("Hello");
        EXPECT_EQ(markerPixels("World") > 0, *t.verdict != 0);
        EXPECT_GT(GreenPixels(w->tv, Node("World")), 0);
        // Its waveform beside it: bars where it sounded, red where it clipped.
        const int clip = pixels("World", TPhraseTreeDelegate::kWaveClipInk);
        EXPECT_GT(pixels("World", TPhraseTreeDelegate::kWaveInk) + clip, t.amplitude > 0 ? 200 : 90);
        EXPECT_EQ(clip > 0, t.amplitude == 1.0);
    }
    EXPECT_EQ(markerPixels("Hello"), 0);
    EXPECT_EQ(w->NodeToolTip(Node("Top")), "2 of 3 recorded");
    EXPECT_EQ(w->NodeToolTip(Node("Hello")), "");  // its child has no take name

    // The next start finds the verdicts again.
    w = std::make_unique<TDlgSndRecMain>(pf.Exe());
    w->show();
    w->tv->expandAll();
    settle();
    EXPECT_EQ(w->TakeCheckOf("w1.wav"), (TTakeCheck{true, tfQuiet}));
    EXPECT_EQ(w->NodeToolTip(Node("World")), "too quiet");
    EXPECT_EQ(w->btnCompressAndUpload->Note(), "2 of 3 recorded");
    EXPECT_GT(pixels("Hello", TPhraseTreeDelegate::kWaveInk), 200);
    // A take deleted outside the program loses its marker and waveform with its green.
    std::filesystem::remove(Take("w1.wav"));
    w->tv->viewport()->repaint();
    EXPECT_EQ(markerPixels("World"), 0);
    EXPECT_EQ(pixels("World", TPhraseTreeDelegate::kWaveInk), 0);
    EXPECT_EQ(w->NodeToolTip(Node("World")), "");
}

// ---------------------------------------------------------------------------
// Hands-free: the speaker only reads.

// The 16-bit samples of a take written by the recorder (46-byte header),
// left channel.
std::vector<int> TakeSamples(const std::string& path) {
    const std::vector<uint8_t> b = testsupport::ReadFileBytes(path);
    std::vector<int> out;
    for (size_t i = 46; i + 4 <= b.size(); i += 4) out.push_back(int16_t(b[i] | b[i + 1] << 8));
    return out;
}

TEST_F(Commands, HandsFreeRecordsPhraseAfterPhraseAndWaitsAgainAfterAFlaggedTake) {
    // The room: a door slam, then three phrases read with pauses between
    // them; the second one far too loud (clipped).
    const struct {
        const char* text;
        double gain;
    } read[] = {{"Good morning.", 1.0}, {"How are you?", 12.0}, {"Thank you.", 1.0}};
    std::vector<double> mono;
    std::vector<std::pair<size_t, size_t>> spoken;
    for (const auto& r : read) {
        const testsupport::TSpokenTake t = testsupport::SpokenInRoom(r.text, 100, 1.5, 2.5, r.gain);
        spoken.emplace_back(mono.size() + t.soundBegin, mono.size() + t.soundEnd);
        mono.insert(mono.end(), t.mono.begin(), t.mono.end());
    }
    // A fan at -55 dBFS throughout (30 dB under the speech), and the slam.
    const std::vector<double> fan = testsupport::RoomNoise(mono.size(), 32768.0 * 32768.0 * 3e-6);
    for (size_t i = 0; i < mono.size(); ++i) mono[i] += fan[i];
    testsupport::AddSlam(mono, 22050 / 2);
    std::vector<int> room;
    for (double v : mono) room.push_back(int(std::clamp(std::lround(v), -32768L, 32767L)));
    WriteSamples(pf.dir + "room.wav", room);
    sim->SetInputWave(testsupport::ReadFileBytes(pf.dir + "room.wav"));
    const auto runUntil = [&](auto done) {
        for (uint32_t ms = 0; ms < 20000 && !done(); ms += 50) Run(50);
        return done();
    };
    const auto state = [&] { return w->HandsFreeState(); };

    Select("Top");  // no take name: the mode takes the first phrase
    w->ToggleHandsFree();
    ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
    EXPECT_EQ(state(), TDlgSndRecMain::hfListening);
    EXPECT_EQ(w->SelectedNode(), Node("Hello"));
    EXPECT_EQ(w->btnRec->HandsFreeText(), "hands-free: listening");
    EXPECT_EQ(EnabledButtons(*w), "Exit PlaySample Stop PlayRecord CompressAndUpload");
    Run(1000);  // the slam starts nothing
    EXPECT_EQ(state(), TDlgSndRecMain::hfListening);

    const struct {
        const char* phrase;
        const char* take;
        const char* verdict;
        const char* next;
    } takes[] = {{"Hello", "h1.wav", "", "World"}, {"World", "w1.wav", "clipped", "World"},
                 {"World", "w1.wav", "", "Sneaky"}};
    for (size_t i = 0; i < std::size(takes); ++i) {
        SCOPED_TRACE(takes[i].phrase);
        ASSERT_TRUE(runUntil([&] { return state() == TDlgSndRecMain::hfRecording; }));
        EXPECT_EQ(EnabledButtons(*w), "Exit Stop CompressAndUpload");
        EXPECT_EQ(w->btnRec->HandsFreeText(), "hands-free: recording");
        ASSERT_TRUE(runUntil([&] { return state() != TDlgSndRecMain::hfRecording && state() != TDlgSndRecMain::hfChecking; }));
        ASSERT_TRUE(WaitFor([&] { return w->PendingTakeChecks() == 0; }, "the take checks"));
        EXPECT_EQ(w->SelectedNode(), Node(takes[i].next));
        EXPECT_EQ(w->NodeToolTip(Node(takes[i].phrase)), takes[i].verdict);
        // The take holds the phrase with 300 ms before and after it (within
        // the 50 ms the detector may miss an edge by), quiet at both ends.
        const std::vector<int> take = TakeSamples(Take(takes[i].take));
        const double heard = double(spoken[i].second - spoken[i].first) * 1000 / 22050, ms = take.size() * 1000.0 / 22050;
        EXPECT_GE(ms, heard + 600 - 100);
        EXPECT_LE(ms, heard + 600 + 100);
        for (const auto& [from, to] : {std::pair{size_t(0), size_t(0.2 * 22050)}, {take.size() - size_t(0.2 * 22050), take.size()}})
            for (size_t k = from; k < to; ++k) ASSERT_LT(std::abs(take[k]), 2000) << k;
    }
    EXPECT_EQ(state(), TDlgSndRecMain::hfHeld);  // "Sneaky" has no usable take name
    EXPECT_EQ(w->HandsFreeRecorded(), 2);

    // Ctrl+Up moves and waits there; F5 plays the sample, then it waits.
    w->SelectPreviousPhrase();
    EXPECT_EQ(state(), TDlgSndRecMain::hfListening);
    w->btnPlaySample->click();
    Run(100);
    EXPECT_EQ(state(), TDlgSndRecMain::hfHeld);
    Run(3500);
    ASSERT_TRUE(WaitFor([&] { return !w->Player->Active(); }, "the player to stop at the end"));
    Run(100);
    EXPECT_EQ(state(), TDlgSndRecMain::hfListening);
    // F7 ends the mode and says how many were recorded.
    w->btnStop->click();
    EXPECT_EQ(state(), TDlgSndRecMain::hfOff);
    EXPECT_FALSE(w->HandsFree->Active());
    EXPECT_EQ(w->btnRec->Note(), "2 recorded hands-free");
    EXPECT_EQ(w->btnRec->HandsFreeText(), "");
    EXPECT_EQ(EnabledButtons(*w), "Exit PlaySample Rec PlayRecord CompressAndUpload");
    ASSERT_TRUE(errors.messages.empty()) << errors.messages[0];
}

}  // namespace
}  // namespace orvant::test
