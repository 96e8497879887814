// The speech detector on generated speech (espeak-ng) read in a room with
// fan noise at several distances, and on noise and door slams alone.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/Speech.h"
#include "wave/SpeechDetector.h"

namespace orvant {
namespace {

using testsupport::kSpeechRate;

struct TFound {
    bool began = false, ended = false;
    uint64_t onset = 0, end = 0;
};

// Feeds the recording in the recorder's 50 ms buffers, as it arrives.
TFound Detect(const std::vector<double>& mono, uint32_t silenceMs) {
    const std::vector<int16_t> pcm = testsupport::Stereo16(mono);
    TSpeechDetector d(kSpeechRate, 2, silenceMs);
    TFound f;
    const size_t chunk = kSpeechRate / 20;
    for (size_t at = 0; at < mono.size() && !f.ended; at += chunk) {
        d.Feed(pcm.data() + 2 * at, std::min(chunk, mono.size() - at));
        if (d.State() != TSpeechDetector::sdWaiting && !f.began) {
            f.began = true;
            f.onset = d.OnsetFrame();
        }
        if (d.State() == TSpeechDetector::sdEnded) {
            f.ended = true;
            f.end = d.SpeechEndFrame();
        }
    }
    return f;
}

double Ms(double frames) { return frames * 1000.0 / kSpeechRate; }

TEST(SpeechDetector, FindsTheEdgesOfSpeechInARoomAndNothingInNoise) {
    const struct {
        const char* name;
        const char* text;
        double snrDb, gain;
    } spoken[] = {
        {"clean", "Good morning.", 100, 1.0},
        {"30 dB", "How are you?", 30, 1.0},
        {"20 dB", "Thank you very much.", 20, 1.0},
        {"10 dB", "Good morning.", 10, 1.0},
        {"soft speaker in a quiet room", "How are you?", 30, 0.02},
        {"a sentence with pauses", "Good morning, how are you? I am fine, thank you.", 20, 1.0},
    };
    for (const auto& c : spoken) {
        SCOPED_TRACE(c.name);
        const testsupport::TSpokenTake t = testsupport::SpokenInRoom(c.text, c.snrDb, 1.5, 3.0, c.gain);
        const TFound f = Detect(t.mono, SilenceAllowanceMs(std::string(c.text).size()));
        ASSERT_TRUE(f.began);
        ASSERT_TRUE(f.ended);
        EXPECT_NEAR(Ms(double(f.onset)), Ms(double(t.speechBegin)), 50);
        EXPECT_NEAR(Ms(double(f.end)), Ms(double(t.speechEnd)), 50);
        // With the take's 300 ms before and after, every sound is in it.
        EXPECT_LE(Ms(double(f.onset)) - 300, Ms(double(t.soundBegin)));
        EXPECT_GE(Ms(double(f.end)) + 300, Ms(double(t.soundEnd)));
    }

    const std::vector<double> fan = testsupport::RoomNoise(6 * kSpeechRate, 1e5);  // -40 dBFS
    std::vector<double> slammed(6 * kSpeechRate, 0.0), fanSlammed = fan, speedingUp = fan;
    testsupport::AddSlam(slammed, 3 * kSpeechRate);
    testsupport::AddSlam(fanSlammed, 2 * kSpeechRate);
    testsupport::AddSlam(fanSlammed, 4 * kSpeechRate);
    for (size_t i = 0; i < speedingUp.size(); ++i)  // 12 dB louder over six seconds
        speedingUp[i] *= std::pow(10, 0.6 * double(i) / double(speedingUp.size()));
    const struct {
        const char* name;
        const std::vector<double>& mono;
    } noise[] = {
        {"fan", fan}, {"silence and a door slam", slammed}, {"fan and two slams", fanSlammed},
        {"fan speeding up", speedingUp}, {"digital silence", std::vector<double>(kSpeechRate, 0.0)},
    };
    for (const auto& c : noise) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(Detect(c.mono, 800).began);
    }
}

TEST(SpeechDetector, SilenceAllowanceGrowsWithTheTextAndRestartKeepsTheFloor) {
    const std::pair<size_t, uint32_t> allowances[] = {{0, 800}, {12, 800}, {20, 800}, {70, 1200}, {170, 2000},
                                                      {5000, 2000}};
    for (const auto& [chars, ms] : allowances) EXPECT_EQ(SilenceAllowanceMs(chars), ms) << chars;

    // Two phrases one after the other in one stream: the second is found
    // after a restart, at its own edges.
    const testsupport::TSpokenTake a = testsupport::SpokenInRoom("Good morning.", 20, 1.0, 1.5);
    const testsupport::TSpokenTake b = testsupport::SpokenInRoom("How are you?", 20, 0.5, 1.5);
    std::vector<double> both = a.mono;
    both.insert(both.end(), b.mono.begin(), b.mono.end());
    const std::vector<int16_t> pcm = testsupport::Stereo16(both);
    TSpeechDetector d(kSpeechRate, 2);
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (size_t at = 0; at < both.size(); at += 1000) {
        d.Feed(pcm.data() + 2 * at, std::min<size_t>(1000, both.size() - at));
        if (d.State() == TSpeechDetector::sdEnded) {
            spans.emplace_back(d.OnsetFrame(), d.SpeechEndFrame());
            d.Restart();
        }
    }
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_NEAR(Ms(double(spans[1].first)), Ms(double(a.mono.size() + b.speechBegin)), 50);
    EXPECT_NEAR(Ms(double(spans[1].second)), Ms(double(a.mono.size() + b.speechEnd)), 50);
    EXPECT_LT(d.NoiseFloorDb(), -30);
}

}  // namespace
}  // namespace orvant
