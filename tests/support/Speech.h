// Generated speech for tests of recording without keys: a phrase spoken by
// espeak-ng at 22050 Hz, the edges of its speech, room noise at a chosen
// distance from it, and a door slam.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/Files.h"
#include "tests/support/ScratchDir.h"
#include "wave/SpeechDetector.h"

namespace orvant::testsupport {

constexpr uint32_t kSpeechRate = 22050;

// The phrase spoken, 22050 Hz mono, with espeak-ng's own lead-in and tail.
inline std::vector<double> Spoken(const std::string& text) {
    TScratchDir dir("orvant-speech");
    const std::string wav = dir.Path() + "/s.wav", raw = dir.Path() + "/s.raw";
    int status = 0;
    RunCommand("espeak-ng -w '" + wav + "' '" + text + "' && sox '" + wav +
                   "' -t raw -r 22050 -c 1 -b 16 -e signed-integer '" + raw + "'",
               &status);
    const std::vector<uint8_t> bytes = ReadFileBytes(raw);
    if (status != 0 || bytes.size() < 2) throw std::runtime_error("espeak-ng or sox failed for: " + text);
    std::vector<double> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = int16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return out;
}

// The first and one past the last sample of the speech: of the 10 ms frames
// within belowPeakDb of the loudest one.
inline std::pair<size_t, size_t> SpeechEdges(const std::vector<double>& clean, double belowPeakDb) {
    const size_t n = kSpeechRate / 100;
    std::vector<double> db;
    for (size_t at = 0; at + n <= clean.size(); at += n) {
        double sum = 0;
        for (size_t i = at; i < at + n; ++i) sum += clean[i] * clean[i];
        db.push_back(sum > 0 ? 10 * std::log10(sum / n) : -300);
    }
    const double top = *std::max_element(db.begin(), db.end());
    size_t first = 0, last = db.size();
    while (first < db.size() && db[first] < top - belowPeakDb) ++first;
    while (last > first && db[last - 1] < top - belowPeakDb) --last;
    return {first * n, last * n};
}

// Mean power of the samples in [from, to).
inline double Power(const std::vector<double>& v, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += v[i] * v[i];
    return to > from ? sum / double(to - from) : 0;
}

// Fan-like noise (white noise through a gentle low-pass) of the given mean
// power; the same for the same seed.
inline std::vector<double> RoomNoise(size_t samples, double power, unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> white(0, 1);
    std::vector<double> v(samples);
    double lp = 0;
    for (double& s : v) s = lp = 0.6 * lp + white(rng);
    const double p = Power(v, 0, v.size());
    for (double& s : v) s *= std::sqrt(power / p);
    return v;
}

// A door slam: a full-scale crack that dies away within 30 ms.
inline void AddSlam(std::vector<double>& v, size_t at) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> crack(-30000, 30000);
    for (size_t i = 0; i < kSpeechRate * 30 / 1000 && at + i < v.size(); ++i)
        v[at + i] += crack(rng) * std::exp(-double(i) / (kSpeechRate * 0.005));
}

// 16-bit stereo, the same on both channels, clipped to the rails.
inline std::vector<int16_t> Stereo16(const std::vector<double>& mono) {
    std::vector<int16_t> out(2 * mono.size());
    for (size_t i = 0; i < mono.size(); ++i)
        out[2 * i] = out[2 * i + 1] = int16_t(std::clamp(std::lround(mono[i]), -32768L, 32767L));
    return out;
}

// A phrase read in a room: lead seconds of the room, the speech, tail
// seconds of the room; the room's noise snrDb below the speech's mean power
// (no noise for snrDb >= 100). The edges of the speech in the result: of
// its voiced part (frames within 25 dB of the loudest), where a detector
// is to find it, and of every sound in it (within 45 dB: a soft "th" or
// "h" that noise of 20 dB covers), which a take's margins must hold.
struct TSpokenTake {
    std::vector<double> mono;
    size_t speechBegin = 0, speechEnd = 0;
    size_t soundBegin = 0, soundEnd = 0;
};
inline TSpokenTake SpokenInRoom(const std::string& text, double snrDb, double lead = 1.5, double tail = 2.5,
                                double gain = 1.0) {
    const std::vector<double> clean = Spoken(text);
    const auto [b, e] = SpeechEdges(clean, 25);
    const auto [sb, se] = SpeechEdges(clean, 45);
    TSpokenTake t;
    const size_t pre = size_t(lead * kSpeechRate);
    t.mono.assign(pre + clean.size() + size_t(tail * kSpeechRate), 0.0);
    for (size_t i = 0; i < clean.size(); ++i) t.mono[pre + i] = gain * clean[i];
    t.speechBegin = pre + b;
    t.speechEnd = pre + e;
    t.soundBegin = pre + sb;
    t.soundEnd = pre + se;
    if (snrDb < 100) {
        const double speech = Power(t.mono, t.speechBegin, t.speechEnd);
        const std::vector<double> noise = RoomNoise(t.mono.size(), speech / std::pow(10, snrDb / 10));
        for (size_t i = 0; i < t.mono.size(); ++i) t.mono[i] += noise[i];
    }
    return t;
}

}  // namespace orvant::testsupport
