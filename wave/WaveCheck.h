// The checks of a finished take, read through the wave stream adapter:
// whether it clipped, stayed near silence, is very short, was recorded in a
// room whose noise comes near the speech, or cannot be read as a WAVE image
// at all. Plain code: the recording program checks its takes
// with it, and the collection server the takes it receives.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace orvant {

enum TTakeFlag : uint8_t {
    tfClipped = 1,     // a sample at full scale
    tfQuiet = 2,       // the peak of the whole take below -40 dBFS
    tfShort = 4,       // under 0.3 s
    tfUnreadable = 8,  // not a WAVE image the program can read
    tfNoisy = 16,      // its noise floor within 20 dB of its speech
    // Recorded without keys and cut at the longest such a take may run;
    // the recording program sets it, CheckTakeFile does not.
    tfCutShort = 32,
};
using TTakeFlags = uint8_t;

constexpr uint32_t kShortTakeMs = 300;
constexpr double kNoisyWithinDb = 20;

struct TTakeCheck {
    bool exists = false;  // a file (not a folder) at the take's path
    TTakeFlags flags = 0;
    bool operator==(const TTakeCheck&) const = default;
};

// A take at a glance: its length cut into kColumns equal spans, and for
// each the strongest sample of any channel, 255 meaning full scale (a clip)
// and 0..254 the share of it. All zero for a take without 16-bit samples.
struct TTakePeaks {
    static constexpr size_t kColumns = 100;
    std::array<uint8_t, kColumns> peak{};
    bool operator==(const TTakePeaks&) const = default;
};

// Reads the take at path. The level checks cover 8- and 16-bit PCM, the
// noise check 16-bit PCM; other formats are checked for their length only.
// The noise floor is the level of the take's quietest 10 ms frames (the
// tenth of them), its speech that of its loudest (the twentieth); a take
// that never falls quiet (a steady hum) is noisy too. A take that is too
// quiet or very short is not judged for noise as well.
TTakeCheck CheckTakeFile(const std::string& path);
// The same, and the take's peak summary into *peaks (when not nullptr).
TTakeCheck CheckTakeFile(const std::string& path, TTakePeaks* peaks);

// "not a readable WAVE file", "clipped", "too quiet", "very short", "noisy",
// "cut at 60 s", in that order, joined by separator; empty without flags.
std::string TakeFlagWords(TTakeFlags flags, const char* separator = "\n");

}  // namespace orvant
