// Multimedia system types shared by the wave store, the codecs and the
// wave-device layer: the packed wave-format record and its tags. The
// wave-device declarations (headers, results, messages, capabilities) live in
// platform/wavedev/WaveDev.h.
#pragma once

#include <cstdint>

namespace orvant {

using MMRESULT = uint32_t;

#pragma pack(push, 1)
// 18 bytes followed by cbSize extra bytes; the byte image of a WAV file's
// format chunk.
struct tWAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(tWAVEFORMATEX) == 18, "the wave-format record is 18 packed bytes");

using WAVEFORMATEX = tWAVEFORMATEX;
using PWaveFormatEx = tWAVEFORMATEX*;

enum : uint16_t {
    WAVE_FORMAT_PCM = 1,
    WAVE_FORMAT_ADPCM = 2,
    WAVE_FORMAT_IEEE_FLOAT = 3,
    WAVE_FORMAT_VSELP = 4,
    WAVE_FORMAT_CVSD = 5,
    WAVE_FORMAT_ALAW = 6,
    WAVE_FORMAT_MULAW = 7,
    WAVE_FORMAT_DTS = 8,
    WAVE_FORMAT_IMA_ADPCM = 17,
    WAVE_FORMAT_GSM610 = 49,
};

// Extra format bytes follow the head directly.
inline uint8_t* WaveFormatExtra(tWAVEFORMATEX* wf) { return reinterpret_cast<uint8_t*>(wf) + sizeof(tWAVEFORMATEX); }
inline const uint8_t* WaveFormatExtra(const tWAVEFORMATEX* wf) {
    return reinterpret_cast<const uint8_t*>(wf) + sizeof(tWAVEFORMATEX);
}

}  // namespace orvant
