// Helpers shared by the layer and its backends; not part of the public API.
#pragma once

#include "platform/SysUtils.h"  // Utf8ToUtf16

#include <string>

#include "platform/wavedev/WaveDev.h"

namespace orvant {

// Text of a result code (with the backend's detail of the last failure of
// that code), empty for an unknown code.
std::string WaveErrorText(MMRESULT code);
void ClearWaveErrorDetail();
// The device of a running stream failed with code: the text of that code
// tells so in plain words (the backend's detail kept), until the next
// failure is recorded.
void SetWaveStreamFailed(MMRESULT code);

// The PCM format of standard format bit `bit` (0..19): per rate (11025,
// 22050, 44100, 48000, 96000 Hz) four bits in the order mono 8, stereo 8,
// mono 16, stereo 16 bits.
inline WAVEFORMATEX StandardFormat(int bit) {
    static const uint32_t rates[] = {11025, 22050, 44100, 48000, 96000};
    const uint16_t ch = (bit & 1) ? 2 : 1;
    const uint16_t bits = (bit & 2) ? 16 : 8;
    const uint16_t align = static_cast<uint16_t>(ch * bits / 8);
    const uint32_t rate = rates[bit / 4];
    return WAVEFORMATEX{WAVE_FORMAT_PCM, ch, rate, rate * align, align, bits, 0};
}
constexpr int kStandardFormatBits = 20;

// A usable PCM or float format whose derived fields agree.
bool WaveFormatIsSound(const WAVEFORMATEX& f);

// Copies text into dst (cch characters including the terminating zero, cch > 0).
MMRESULT CopyText(const std::string& text, char16_t* dst, UINT cch);

}  // namespace orvant
