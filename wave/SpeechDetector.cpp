#include "wave/SpeechDetector.h"

#include <algorithm>
#include <cmath>

namespace orvant {

namespace {

constexpr double kSilenceDb = -100;

double EnergyDb(double sumOfSquares, uint64_t samples) {
    if (samples == 0 || sumOfSquares <= 0) return kSilenceDb;
    return std::max(kSilenceDb, 10 * std::log10(sumOfSquares / double(samples) / (32768.0 * 32768.0)));
}

}  // namespace

double FrameEnergyDb(const int16_t* interleaved, size_t frames, uint16_t channels) {
    // In integers: exact, and the loop vectorises (a take check runs it over
    // every sample of every take).
    int64_t sum = 0;
    const size_t samples = frames * channels;
    for (size_t i = 0; i < samples; ++i) sum += int32_t(interleaved[i]) * interleaved[i];
    return EnergyDb(double(sum), samples);
}

uint32_t SilenceAllowanceMs(size_t characters) {
    const size_t beyond = characters > 20 ? characters - 20 : 0;
    return uint32_t(std::min<size_t>(2000, 800 + 8 * beyond));
}

TSpeechDetector::TSpeechDetector(uint32_t sampleRate, uint16_t channels, uint32_t silenceMs)
    : fRate(sampleRate),
      fChannels(std::max<uint16_t>(channels, 1)),
      fFrameLength(std::max<uint32_t>(sampleRate * kFrameMs / 1000, 1)),
      fSilenceMs(silenceMs) {}

void TSpeechDetector::Restart() {
    fState = sdWaiting;
    fInRun = false;
    fHasPrevRun = false;
}

uint64_t TSpeechDetector::LeadIn(uint64_t runStart) const {
    uint64_t k = runStart / fFrameLength;
    const uint64_t k0 = k, oldest = fAnalysed > kHistory ? fAnalysed - kHistory : 0;
    while (k > oldest && (k0 - k + 1) * kFrameMs <= kLeadMs && fHistory[(k - 1) % kHistory] > fFloor + kLeadMarginDb)
        --k;
    return k * fFrameLength;
}

void TSpeechDetector::Feed(const int16_t* interleaved, size_t frames) {
    for (size_t f = 0; f < frames; ++f) {
        const int16_t* s = interleaved + f * fChannels;
        for (uint16_t c = 0; c < fChannels; ++c) fSum += double(s[c]) * s[c];
        ++fFed;
        if (++fFilled < fFrameLength) continue;
        Analyse(EnergyDb(fSum, uint64_t(fFilled) * fChannels), fFed - fFilled, fFed);
        fSum = 0;
        fFilled = 0;
    }
}

void TSpeechDetector::Analyse(double db, uint64_t start, uint64_t end) {
    if (!fFloorKnown) {
        fFloor = db;
        fFloorKnown = true;
    }
    fHistory[fAnalysed++ % kHistory] = db;
    const double margin = fState == sdSpeech ? kHoldMarginDb : kOnsetMarginDb;
    const bool loud = db > fFloor + margin && db > kMinSpeechDb;
    // The floor goes down at once to a quieter frame, follows the frames
    // that are not speech within about a second, and rises by half a dB a
    // second under speech, so that a noise that stays (a fan switched on)
    // becomes the floor and does not hold a take open for good.
    if (db < fFloor)
        fFloor += 0.3 * (db - fFloor);
    else if (!loud)
        fFloor += 0.01 * (db - fFloor);
    else
        fFloor += 0.5 * kFrameMs / 1000;

    const auto longerThan = [this](uint64_t frames, uint32_t ms) { return frames * 1000 >= uint64_t(ms) * fRate; };
    if (fState == sdEnded) return;
    if (loud && fState == sdSpeech && !longerThan(start - fSpeechEnd, kGapMs + 1)) {
        fSpeechEnd = end;  // speech goes on
        fInRun = false;
    } else if (loud) {
        // A run of speech frames: it begins speech (or, within speech, goes
        // on with it after a pause) once it is long enough.
        if (!fInRun) {
            fInRun = true;
            fRunStart = start;
            fRunFrames = 0;
        }
        ++fRunFrames;
        fRunEnd = end;
        const uint32_t needed = fState == sdSpeech ? kResumeMs : kOnsetMs;
        if (fRunFrames * kFrameMs >= needed) {
            if (fState == sdWaiting) {
                fState = sdSpeech;
                const bool join = fHasPrevRun && !longerThan(fRunStart - fPrevRunEnd, kJoinMs);
                fOnset = LeadIn(join ? fPrevRunStart : fRunStart);
            }
            fSpeechEnd = fRunEnd;
            fInRun = false;
        }
    } else if (fInRun && longerThan(end - fRunEnd, kGapMs)) {
        fInRun = false;
        if (fRunFrames >= 3) {
            fHasPrevRun = true;
            fPrevRunStart = fRunStart;
            fPrevRunEnd = fRunEnd;
        }
    }
    if (fState == sdSpeech && longerThan(end - fSpeechEnd, fSilenceMs)) fState = sdEnded;
}

}  // namespace orvant
