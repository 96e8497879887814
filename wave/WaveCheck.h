// The checks of a finished take, read through the wave stream adapter:
// whether it clipped, stayed near silence or is very short, or cannot be read
// as a WAVE image at all. Plain code: the recording program checks its takes
// with it, and the collection server the takes it receives.
#pragma once

#include <cstdint>
#include <string>

namespace orvant {

enum TTakeFlag : uint8_t {
    tfClipped = 1,     // a sample at full scale
    tfQuiet = 2,       // the peak of the whole take below -40 dBFS
    tfShort = 4,       // under 0.3 s
    tfUnreadable = 8,  // not a WAVE image the program can read
};
using TTakeFlags = uint8_t;

constexpr uint32_t kShortTakeMs = 300;

struct TTakeCheck {
    bool exists = false;  // a file (not a folder) at the take's path
    TTakeFlags flags = 0;
    bool operator==(const TTakeCheck&) const = default;
};

// Reads the take at path. The level checks cover 8- and 16-bit PCM; other
// formats are checked for their length only.
TTakeCheck CheckTakeFile(const std::string& path);

// "not a readable WAVE file", "clipped", "too quiet", "very short", in that
// order, joined by separator; empty without flags.
std::string TakeFlagWords(TTakeFlags flags, const char* separator = "\n");

}  // namespace orvant
