// The output volume of a device, applied to the samples on their way to the
// backend (waveOutSetVolume / waveOutGetVolume). Guarded by the device's lock.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/wavedev/DeviceCore.h"

namespace orvant {

class TSoftVolume {
public:
    // Full volume on both channels: samples pass unchanged.
    static constexpr DWORD kFull = 0xFFFFFFFFu;
    // Frames scaled per call at the most.
    static constexpr uint32_t kScratchFrames = 4096;

    // Takes the device's format and makes room for one call's frames.
    void Init(const WAVEFORMATEX& format);

    DWORD Get(const TDeviceLock&) const { return fVolume; }
    // Low word left, high word right; a mono device takes the low word for both.
    void Set(const TDeviceLock&, DWORD volume);

    // The frames to hand the backend in place of `src`: src itself at full
    // volume or in a format it does not scale, otherwise a scaled copy of the
    // first `frames` frames, cut to kScratchFrames (valid until the next call).
    const uint8_t* Apply(const TDeviceLock&, const uint8_t* src, uint32_t& frames);

private:
    bool Applies() const;
    void Scale(const uint8_t* src, uint32_t frames);

    WAVEFORMATEX fFormat{};
    uint32_t fBlock = 1;
    DWORD fVolume = kFull;
    std::vector<uint8_t> fScratch;
};

}  // namespace orvant
