// Reading a stored take for the operator's page and the export: its format
// and data read in pieces (never whole), the stretch that holds speech, and
// the waveform's extremes per drawn column.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/MMSystem.h"

namespace orvant {

class TFileStream;

// The data of one WAVE file, read through the project's RIFF parser.
class TTakeReader {
public:
    // Raises Exception naming the file when it cannot be opened or is no
    // WAVE image with a usable format.
    explicit TTakeReader(const std::string& path);
    ~TTakeReader();
    TTakeReader(const TTakeReader&) = delete;
    TTakeReader& operator=(const TTakeReader&) = delete;

    const tWAVEFORMATEX& Format() const { return fFormat; }
    // Whole blocks of data present in the file (a data chunk that states more
    // than the file holds is read as far as it goes).
    uint64_t DataBytes() const { return fDataBytes; }
    uint64_t Frames() const { return fDataBytes / fFormat.nBlockAlign; }
    // Up to n bytes of data from offset (relative to the data's start);
    // fewer only at the end. Raises Exception when the file cannot be read.
    size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t n);

private:
    std::unique_ptr<TFileStream> fStream;
    tWAVEFORMATEX fFormat{};
    uint64_t fDataOffset = 0;
    uint64_t fDataBytes = 0;
};

// 8- or 16-bit integer PCM: the formats whose levels are measured.
bool HasLevels(const tWAVEFORMATEX& wf);

// Sample frames [begin, end) of a take.
struct TFrameSpan {
    uint64_t begin = 0, end = 0;
    bool operator==(const TFrameSpan&) const = default;
};

// Where the speech of a take lies: the take is streamed through the
// recording program's speech detector (10 ms frames against an adaptive
// noise floor; speech is a run of 80 ms above it, so clicks and knocks are
// not), which is told never to end: speech runs from its first onset to the
// end of its last speech frame. found is false when the take holds no speech
// or its format has no levels (see HasLevels).
struct TSpeech {
    bool found = false;
    TFrameSpan span;  // in sample frames
};
TSpeech FindSpeech(TTakeReader& take);

// The speech widened by margin frames on both sides, within the take; the
// whole take when no speech was found.
TFrameSpan TrimmedSpan(const TSpeech& speech, uint64_t marginFrames, uint64_t totalFrames);

// Lowest and highest sample (-1..1, every channel) of each of columns equal
// slices of the take. Empty unless HasLevels or when the take is empty.
struct TColumnPeak {
    float lo = 0, hi = 0;
};
std::vector<TColumnPeak> WaveformColumns(TTakeReader& take, unsigned columns);

// An inline SVG drawing of the columns, width x height pixels: one vertical
// stroke per column from its lowest to its highest sample.
std::string WaveformSvg(const std::vector<TColumnPeak>& columns, unsigned width, unsigned height);

}  // namespace orvant
