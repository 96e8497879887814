// Helpers shared by the layer and its backends; not part of the public API.
#pragma once

#include <string>

#include "platform/wavedev/WaveDev.h"

namespace orvant {

// Text of a result code (with the backend's detail of the last failure of
// that code), empty for an unknown code.
std::string WaveErrorText(MMRESULT code);
void ClearWaveErrorDetail();

std::u16string Utf8ToUtf16(const std::string& s);
// Copies text into dst (cch characters including the terminating zero, cch > 0).
MMRESULT CopyText(const std::string& text, char16_t* dst, UINT cch);

}  // namespace orvant
