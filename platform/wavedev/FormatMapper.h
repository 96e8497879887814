// The wave mapper's output conversions: what the default output device
// (WAVE_MAPPER) plays that the backend does not take as it is.
//
// A format the backend takes passes through. Otherwise the device opens in
// the nearest format the backend takes and a mapped stream converts on the
// way, through the compression manager's converters (platform/codecs):
// compressed formats decode to 16-bit PCM, then sample width, channels
// (more than two down-mixed) and rate become the device's. A
// WAVE_FORMAT_EXTENSIBLE record of PCM or float samples counts as the plain
// record of its samples.
//
// The mapped stream counts in the caller's format: the layer writes source
// blocks (a sample frame, or a codec block) and its Delay answers in them,
// so positions, pause, reset and the end of the data work unchanged.
// Everything is allocated when the device opens.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/wavedev/WaveBackend.h"

namespace orvant {

// The caller's record with its extra bytes: 18 + cbSize bytes, except a PCM
// record, taken as its 16 bytes, and a float one, as its 18 (cbSize is not
// trusted there; the result's is 0).
std::vector<uint8_t> WaveFormatRecord(const WAVEFORMATEX* wf);

// The plain PCM or float record of an extensible one whose samples are PCM
// or float (its container width); any other record unchanged. False for an
// extensible record that is cut short or carries another kind of data.
bool PlainWaveFormat(const std::vector<uint8_t>& record, std::vector<uint8_t>& plain);

// How the mapper plays one source format.
struct TOutputMapping {
    std::vector<uint8_t> source;  // the plain source record
    WAVEFORMATEX device{};        // what the backend is opened with
    bool convert = false;         // false: the source passes through
    uint32_t samplesPerBlock = 1;  // sample frames in one source block
};

// Finds how `record` plays on the backend's output `id`: as it is, or
// converted to the nearest format the backend takes. WAVERR_BADFORMAT when
// no converter reads it or the backend takes nothing it converts to.
MMRESULT MapOutputFormat(TWaveBackend& backend, UINT id, const std::vector<uint8_t>& record, TOutputMapping& m);

// Wraps `stream`, the backend's stream opened in m.device, in one whose
// frames written and delay are source blocks. Fails (MMSYSERR_NOMEM,
// WAVERR_BADFORMAT) when the converters cannot be set up; the backend's
// stream is closed then.
MMRESULT MakeMappedStream(const TOutputMapping& m, std::unique_ptr<TWaveBackendStream>& stream);

}  // namespace orvant
