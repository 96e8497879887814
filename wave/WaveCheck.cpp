#include "wave/WaveCheck.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "wave/SpeechDetector.h"
#include "wave/WaveStorage.h"

namespace orvant {

namespace {

// Strongest excursion from the zero level and whether a sample sits on
// either rail, over the samples of one PCM format.
struct TLevelScan {
    uint32_t peak = 0;
    bool atFullScale = false;

    void Scan16(const int16_t* p, size_t samples) {
        int16_t lo = 0, hi = 0;
        for (size_t i = 0; i < samples; ++i) {
            lo = std::min(lo, p[i]);
            hi = std::max(hi, p[i]);
        }
        peak = std::max<uint32_t>(peak, uint32_t(std::max<int>(hi, -int(lo))));
        atFullScale = atFullScale || hi >= 32767 || lo <= -32767;
    }
    void Scan8(const uint8_t* p, size_t samples) {
        int lo = 255, hi = 0;
        for (size_t i = 0; i < samples; ++i) {
            lo = std::min<int>(lo, p[i]);
            hi = std::max<int>(hi, p[i]);
        }
        if (samples == 0) return;
        peak = std::max<uint32_t>(peak, uint32_t(std::max(hi - 128, 128 - lo)));
        atFullScale = atFullScale || hi >= 255 || lo <= 0;
    }
};

// The energies of a 16-bit take's 10 ms frames, and whether its noise floor
// comes within kNoisyWithinDb of its speech.
struct TNoiseScan {
    uint16_t channels = 1;
    std::vector<float> frameDb;

    void Scan16(const int16_t* p, size_t frames, size_t frameLength) {
        for (size_t at = 0; at + frameLength <= frames; at += frameLength)
            frameDb.push_back(float(FrameEnergyDb(p + at * channels, frameLength, channels)));
    }
    bool Noisy() {
        if (frameDb.empty()) return false;
        const auto at = [this](size_t percent) {
            const auto nth = frameDb.begin() + std::ptrdiff_t((frameDb.size() - 1) * percent / 100);
            std::nth_element(frameDb.begin(), nth, frameDb.end());
            return double(*nth);
        };
        const double noise = at(10), speech = at(95);
        return speech - noise < kNoisyWithinDb;
    }
};

// The peak of each column of a 16-bit take of totalFrames frames.
struct TPeakScan {
    TTakePeaks* out = nullptr;
    uint16_t channels = 1;
    uint64_t totalFrames = 0, frame = 0;
    size_t column = 0;
    uint64_t columnEnd = 0;  // one past the last frame of the column
    std::array<int, TTakePeaks::kColumns> maxima{};

    void Scan16(const int16_t* p, size_t frames) {
        if (!out) return;
        frames = size_t(std::min<uint64_t>(frames, totalFrames - frame));
        for (size_t f = 0; f < frames;) {
            // Column c holds the frames from c * total / kColumns on; the
            // frames of one column in a run.
            while (frame >= columnEnd) columnEnd = (++column) * totalFrames / TTakePeaks::kColumns;
            const size_t run = size_t(std::min<uint64_t>(frames - f, columnEnd - frame));
            // In 16 bits, which the vector units take.
            int16_t lo = 0, hi = 0;
            for (const int16_t* s = p + f * channels; s < p + (f + run) * channels; ++s) {
                lo = std::min(lo, *s);
                hi = std::max(hi, *s);
            }
            maxima[column - 1] = std::max({maxima[column - 1], int(hi), -int(lo)});
            f += run;
            frame += run;
        }
    }
    void Finish() {
        if (!out) return;
        for (size_t c = 0; c < TTakePeaks::kColumns; ++c)
            out->peak[c] = uint8_t(maxima[c] >= 32767 ? 255 : maxima[c] * 254 / 32767);
    }
};

}  // namespace

TTakeCheck CheckTakeFile(const std::string& path) { return CheckTakeFile(path, nullptr); }

TTakeCheck CheckTakeFile(const std::string& path, TTakePeaks* peaks) {
    if (peaks) *peaks = {};
    TTakeCheck result;
    if (!FileExists(path)) return result;
    result.exists = true;
    try {
        // Others may go on writing: a take being recorded anew is read as it
        // stands and checked again when it ends.
        TWaveStreamAdapter wave(new TFileStream(path, fmOpenRead | fmShareDenyNone), soOwned);
        const tWAVEFORMATEX* wf = wave.Valid() ? wave.WaveFormat() : nullptr;
        if (!wf || wf->nBlockAlign == 0 || wf->nAvgBytesPerSec == 0 || !wave.BeginRead()) {
            result.flags = tfUnreadable;
            return result;
        }
        const bool pcm = wf->wFormatTag == WAVE_FORMAT_PCM && (wf->wBitsPerSample == 8 || wf->wBitsPerSample == 16);
        const uint32_t bytesPerSample = wf->wBitsPerSample / 8;
        TLevelScan scan;
        TNoiseScan noise;
        noise.channels = std::max<uint16_t>(wf->nChannels, 1);
        // Whole 10 ms frames in every read, for the noise check.
        const size_t frameLength = std::max<size_t>(wf->nSamplesPerSec / 100, 1);
        const size_t frameBytes = frameLength * wf->nBlockAlign;
        TPeakScan columns;
        columns.out = pcm && bytesPerSample == 2 ? peaks : nullptr;
        columns.channels = noise.channels;
        columns.totalFrames = wave.DataSize() / wf->nBlockAlign;
        uint64_t left = wave.DataSize(), got = 0;
        std::vector<uint8_t> buffer(std::max<size_t>(1, 64 * 1024 / frameBytes) * frameBytes);
        std::vector<int16_t> samples(buffer.size() / 2);
        while (left > 0) {
            const int32_t n = wave.Read(buffer.data(), int32_t(std::min<uint64_t>(left, buffer.size())));
            if (n <= 0) break;
            if (pcm && bytesPerSample == 2) {
                std::memcpy(samples.data(), buffer.data(), size_t(n) & ~size_t(1));
                scan.Scan16(samples.data(), size_t(n) / 2);
                noise.Scan16(samples.data(), size_t(n) / wf->nBlockAlign, frameLength);
                columns.Scan16(samples.data(), size_t(n) / wf->nBlockAlign);
            }
            else if (pcm)
                scan.Scan8(buffer.data(), size_t(n));
            left -= uint32_t(n);
            got += uint32_t(n);
        }
        wave.EndRead();
        columns.Finish();
        const uint64_t whole = got - got % wf->nBlockAlign;
        if (whole * 1000 < uint64_t(kShortTakeMs) * wf->nAvgBytesPerSec) result.flags |= tfShort;
        if (pcm && whole > 0) {
            if (scan.atFullScale) result.flags |= tfClipped;
            // -40 dBFS: one hundredth of full scale (32768 or 128).
            const uint32_t fullScale = bytesPerSample == 2 ? 32768 : 128;
            if (uint64_t(scan.peak) * 100 < fullScale)
                result.flags |= tfQuiet;
            else if (!(result.flags & tfShort) && noise.Noisy())
                result.flags |= tfNoisy;
        }
    } catch (const std::exception&) {
        result.flags = tfUnreadable;  // it exists but cannot be opened
    }
    return result;
}

std::string TakeFlagWords(TTakeFlags flags, const char* separator) {
    std::string words;
    const auto add = [&](TTakeFlags flag, const char* word) {
        if (!(flags & flag)) return;
        if (!words.empty()) words += separator;
        words += word;
    };
    add(tfUnreadable, "not a readable WAVE file");
    add(tfClipped, "clipped");
    add(tfQuiet, "too quiet");
    add(tfShort, "very short");
    add(tfNoisy, "noisy");
    add(tfCutShort, "cut at 60 s");
    return words;
}

}  // namespace orvant
