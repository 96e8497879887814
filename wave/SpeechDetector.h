// Tells speech from silence in a stream of 16-bit PCM as it arrives, for
// recording without keys: where speech begins and where it has ended.
//
// The input is cut into analysis frames of 10 ms whose energy is compared
// with an adaptive noise floor: the floor follows the room's steady noise
// (down at once, up slowly), so a fan or a hum is the floor and never
// speech, and a soft speaker still stands out of a quiet room. Speech begins
// with the first frame of a run that holds 80 ms of frames above the floor
// (so a click or a door slam, a few frames long, starts nothing); it has
// ended once no such frame came for the silence allowance. Plain code: no
// allocation after construction, no thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvant {

// The energy of interleaved 16-bit frames (all channels) in dB relative to
// a full-scale square wave; -100 for digital silence or no frames.
double FrameEnergyDb(const int16_t* interleaved, size_t frames, uint16_t channels);

// How long the speaker may pause before a take is over, from the length of
// the text read: 800 ms for a short phrase, growing by 8 ms a character
// beyond 20 characters (a reader of a long sentence pauses to breathe
// between its clauses, often half a second, sometimes a whole one) up to
// 2 s, which still ends a take soon after the last word.
uint32_t SilenceAllowanceMs(size_t characters);

class TSpeechDetector {
public:
    enum TState { sdWaiting, sdSpeech, sdEnded };

    static constexpr uint32_t kFrameMs = 10;
    // Above the floor by this much a frame counts as speech; once speech
    // runs, by the smaller margin (so a word's fading end still counts).
    static constexpr double kOnsetMarginDb = 7;
    static constexpr double kHoldMarginDb = 4;
    // And never below this level (RMS of a very soft speaker is about
    // -50 dBFS; below this there is nothing to keep).
    static constexpr double kMinSpeechDb = -62;
    static constexpr uint32_t kOnsetMs = 80;   // speech frames a run needs to begin speech
    static constexpr uint32_t kResumeMs = 50;  // and to go on after a pause
    static constexpr uint32_t kGapMs = 60;     // a run breaks after a gap this long
    // Speech begins with the run before the one that began it when that one
    // ended this shortly before ("Good mor-ning": the first syllable, short
    // and soft, broke off), and with the frames just above the floor (by
    // kLeadMarginDb) up to kLeadMs before it: a word's soft first sound.
    static constexpr uint32_t kJoinMs = 250;
    static constexpr uint32_t kLeadMs = 150;
    static constexpr double kLeadMarginDb = 3;

    TSpeechDetector(uint32_t sampleRate, uint16_t channels, uint32_t silenceMs = 800);

    void SetSilenceMs(uint32_t ms) { fSilenceMs = ms; }
    uint32_t SilenceMs() const { return fSilenceMs; }
    // Waits for new speech; keeps the noise floor it has learned.
    void Restart();
    // Feeds whole frames (channels interleaved samples each).
    void Feed(const int16_t* interleaved, size_t frames);

    TState State() const { return fState; }
    // Stream positions in frames since construction: the first frame of the
    // speech, one past its last frame (both valid from sdSpeech on), and the
    // frames fed.
    uint64_t OnsetFrame() const { return fOnset; }
    uint64_t SpeechEndFrame() const { return fSpeechEnd; }
    uint64_t FramesFed() const { return fFed; }
    double NoiseFloorDb() const { return fFloor; }

private:
    void Analyse(double db, uint64_t start, uint64_t end);
    // The onset for a run of speech that began at runStart.
    uint64_t LeadIn(uint64_t runStart) const;

    const uint32_t fRate;
    const uint16_t fChannels;
    const uint32_t fFrameLength;  // frames per analysis frame
    uint32_t fSilenceMs;
    TState fState = sdWaiting;
    bool fFloorKnown = false;
    double fFloor = -100;
    // The analysis frame being filled: sum of squares and frames in it.
    double fSum = 0;
    uint32_t fFilled = 0;
    uint64_t fFed = 0;
    // The current run of speech frames: its first frame, the frames above
    // the floor in it, and the end of its latest speech frame.
    bool fInRun = false;
    uint64_t fRunStart = 0, fRunEnd = 0;
    uint32_t fRunFrames = 0;
    // The run before it, which broke off: its first frame and its end.
    bool fHasPrevRun = false;
    uint64_t fPrevRunStart = 0, fPrevRunEnd = 0;
    // The energies of the latest analysis frames, for the soft first sound.
    static constexpr size_t kHistory = 64;
    double fHistory[kHistory] = {};
    uint64_t fAnalysed = 0;  // analysis frames so far
    uint64_t fOnset = 0, fSpeechEnd = 0;
};

}  // namespace orvant
