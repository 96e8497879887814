#include "platform/wavedev/SoftVolume.h"

#include <algorithm>
#include <cstring>

namespace orvant {

void TSoftVolume::Init(const WAVEFORMATEX& format) {
    fFormat = format;
    fBlock = format.nBlockAlign;
    fScratch.resize(static_cast<size_t>(kScratchFrames) * fBlock);
}

void TSoftVolume::Set(const TDeviceLock&, DWORD volume) {
    if (fFormat.nChannels == 1) volume = (volume & 0xFFFF) | ((volume & 0xFFFF) << 16);
    fVolume = volume;
}

const uint8_t* TSoftVolume::Apply(const TDeviceLock&, const uint8_t* src, uint32_t& frames) {
    if (fVolume == kFull || !Applies()) return src;
    frames = std::min(frames, kScratchFrames);
    Scale(src, frames);
    return fScratch.data();
}

bool TSoftVolume::Applies() const {
    return (fFormat.wFormatTag == WAVE_FORMAT_PCM && (fFormat.wBitsPerSample == 8 || fFormat.wBitsPerSample == 16)) ||
           (fFormat.wFormatTag == WAVE_FORMAT_IEEE_FLOAT && fFormat.wBitsPerSample == 32);
}

void TSoftVolume::Scale(const uint8_t* src, uint32_t frames) {
    const uint32_t left = fVolume & 0xFFFF, right = fVolume >> 16;
    const int ch = fFormat.nChannels;
    const size_t bytes = static_cast<size_t>(frames) * fBlock;
    std::memcpy(fScratch.data(), src, bytes);
    auto gainOf = [&](int c) { return c == 1 ? right : (c == 0 ? left : (left + right) / 2); };
    if (fFormat.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        auto* s = reinterpret_cast<float*>(fScratch.data());
        for (uint32_t f = 0; f < frames; ++f)
            for (int c = 0; c < ch; ++c) s[f * ch + c] *= static_cast<float>(gainOf(c)) / 65535.0f;
    } else if (fFormat.wBitsPerSample == 16) {
        auto* s = reinterpret_cast<int16_t*>(fScratch.data());
        for (uint32_t f = 0; f < frames; ++f)
            for (int c = 0; c < ch; ++c) {
                int16_t v;
                std::memcpy(&v, &s[f * ch + c], 2);
                v = static_cast<int16_t>(static_cast<int64_t>(v) * gainOf(c) / 65535);
                std::memcpy(&s[f * ch + c], &v, 2);
            }
    } else {
        uint8_t* s = fScratch.data();
        for (uint32_t f = 0; f < frames; ++f)
            for (int c = 0; c < ch; ++c) {
                const int v = static_cast<int>(s[f * ch + c]) - 128;
                s[f * ch + c] = static_cast<uint8_t>(128 + v * static_cast<int64_t>(gainOf(c)) / 65535);
            }
    }
}

}  // namespace orvant
