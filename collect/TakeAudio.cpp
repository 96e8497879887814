#include "collect/TakeAudio.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Streams.h"
#include "wave/SpeechDetector.h"
#include "wave/WaveUtils.h"

namespace orvant {

namespace {

constexpr size_t kPiece = 64 * 1024;

// Visits the data in pieces of whole blocks: fn(bytes, size).
template <class F>
void ForEachPiece(TTakeReader& take, uint64_t from, uint64_t to, F&& fn) {
    const uint32_t block = take.Format().nBlockAlign;
    std::vector<uint8_t> buffer(kPiece - kPiece % block);
    for (uint64_t at = from; at < to;) {
        const size_t want = size_t(std::min<uint64_t>(buffer.size(), to - at));
        const size_t got = take.ReadAt(at, buffer.data(), want);
        if (got == 0) break;
        fn(buffer.data(), got);
        at += got;
    }
}

// Sample i of a piece of 8- or 16-bit PCM, scaled to -1..1.
inline float SampleAt(const uint8_t* p, size_t i, bool sixteen) {
    if (!sixteen) return (float(p[i]) - 128.0f) / 128.0f;
    int16_t v;
    std::memcpy(&v, p + 2 * i, 2);
    return float(v) / 32768.0f;
}

}  // namespace

TTakeReader::TTakeReader(const std::string& path) {
    fStream = std::make_unique<TFileStream>(path, fmOpenRead | fmShareDenyNone);
    PWaveFormatEx wf = nullptr;
    uint32_t size = 0, offset = 0;
    if (!ParseStreamWaveHeader(fStream.get(), wf, size, offset) || !wf)
        throw Exception("\"" + path + "\" is not a readable WAVE file.");
    fFormat = *wf;
    fFormat.cbSize = 0;
    FreeWaveFormat(wf);
    if (fFormat.nBlockAlign == 0 || fFormat.nChannels == 0 || fFormat.nSamplesPerSec == 0)
        throw Exception("\"" + path + "\" states a WAVE format without blocks, channels or rate.");
    const int64_t fileSize = fStream->Size();
    const uint64_t present = fileSize > int64_t(offset) ? uint64_t(fileSize) - offset : 0;
    fDataOffset = offset;
    fDataBytes = std::min<uint64_t>(size, present);
    fDataBytes -= fDataBytes % fFormat.nBlockAlign;
}

TTakeReader::~TTakeReader() = default;

size_t TTakeReader::ReadAt(uint64_t offset, uint8_t* buffer, size_t n) {
    if (offset >= fDataBytes) return 0;
    n = size_t(std::min<uint64_t>(n, fDataBytes - offset));
    if (fStream->Seek(int64_t(fDataOffset + offset), TSeekOrigin::soBeginning) < 0)
        throw Exception("\"" + fStream->FileName() + "\" cannot be read: " + SysErrorMessage(errno));
    size_t done = 0;
    while (done < n) {
        const int32_t got = fStream->Read(buffer + done, int32_t(std::min<size_t>(n - done, 1 << 30)));
        if (got < 0) throw Exception("\"" + fStream->FileName() + "\" cannot be read: " + SysErrorMessage(errno));
        if (got == 0) break;
        done += size_t(got);
    }
    return done;
}

bool HasLevels(const tWAVEFORMATEX& wf) {
    return wf.wFormatTag == WAVE_FORMAT_PCM && (wf.wBitsPerSample == 8 || wf.wBitsPerSample == 16) &&
           wf.nBlockAlign == wf.nChannels * (wf.wBitsPerSample / 8);
}

TSpeech FindSpeech(TTakeReader& take) {
    TSpeech speech;
    const tWAVEFORMATEX& wf = take.Format();
    if (!HasLevels(wf)) return speech;
    TSpeechDetector detector(wf.nSamplesPerSec, wf.nChannels, UINT32_MAX);
    const bool sixteen = wf.wBitsPerSample == 16;
    std::vector<int16_t> samples;
    ForEachPiece(take, 0, take.DataBytes(), [&](const uint8_t* p, size_t n) {
        const size_t count = n / (sixteen ? 2 : 1);
        samples.resize(count);
        if (sixteen)
            std::memcpy(samples.data(), p, count * 2);
        else
            for (size_t i = 0; i < count; ++i) samples[i] = int16_t((int(p[i]) - 128) * 256);
        detector.Feed(samples.data(), count / wf.nChannels);
    });
    if (detector.State() == TSpeechDetector::sdWaiting) return speech;
    speech.found = true;
    speech.span = {detector.OnsetFrame(), std::min(detector.SpeechEndFrame(), take.Frames())};
    return speech;
}

TFrameSpan TrimmedSpan(const TSpeech& speech, uint64_t marginFrames, uint64_t totalFrames) {
    if (!speech.found) return {0, totalFrames};
    return {speech.span.begin > marginFrames ? speech.span.begin - marginFrames : 0,
            std::min(totalFrames, speech.span.end + marginFrames)};
}

std::vector<TColumnPeak> WaveformColumns(TTakeReader& take, unsigned columns) {
    std::vector<TColumnPeak> out;
    const tWAVEFORMATEX& wf = take.Format();
    const uint64_t frames = take.Frames();
    if (!HasLevels(wf) || frames == 0 || columns == 0) return out;
    out.assign(columns, TColumnPeak{1.0f, -1.0f});
    const bool sixteen = wf.wBitsPerSample == 16;
    const unsigned channels = wf.nChannels;
    uint64_t frame = 0;
    ForEachPiece(take, 0, take.DataBytes(), [&](const uint8_t* p, size_t n) {
        const size_t pieceFrames = n / wf.nBlockAlign;
        for (size_t f = 0; f < pieceFrames; ++f, ++frame) {
            TColumnPeak& c = out[size_t(frame * columns / frames)];
            for (unsigned ch = 0; ch < channels; ++ch) {
                const float s = SampleAt(p, f * channels + ch, sixteen);
                c.lo = std::min(c.lo, s);
                c.hi = std::max(c.hi, s);
            }
        }
    });
    for (TColumnPeak& c : out)
        if (c.lo > c.hi) c = {0, 0};  // a column no frame fell into
    return out;
}

std::string WaveformSvg(const std::vector<TColumnPeak>& columns, unsigned width, unsigned height) {
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"wave\" viewBox=\"0 0 " +
                      std::to_string(width) + " " + std::to_string(height) +
                      "\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"waveform\">";
    svg += "<line x1=\"0\" x2=\"" + std::to_string(width) + "\" y1=\"" + std::to_string(height / 2.0) + "\" y2=\"" +
           std::to_string(height / 2.0) + "\" class=\"axis\"/>";
    if (!columns.empty()) {
        svg += "<path class=\"trace\" d=\"";
        const double step = double(width) / double(columns.size());
        const double mid = height / 2.0;
        char buf[96];
        for (size_t i = 0; i < columns.size(); ++i) {
            const double x = (double(i) + 0.5) * step;
            double y1 = mid - columns[i].hi * mid, y2 = mid - columns[i].lo * mid;
            if (y2 - y1 < 1) y1 = mid - 0.5, y2 = mid + 0.5;  // silence still shows as a hairline
            std::snprintf(buf, sizeof buf, "M%.1f %.1fV%.1f", x, y1, y2);
            svg += buf;
        }
        svg += "\" stroke-width=\"" + std::to_string(std::max(1.0, step * 0.8)) + "\"/>";
    }
    return svg + "</svg>";
}

}  // namespace orvant
