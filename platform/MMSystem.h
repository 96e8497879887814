// Multimedia system types shared by the wave store, the codecs and the
// wave-device layer: the result codes, the packed wave-format record and its
// tags. The wave-device declarations (headers, messages, capabilities) live
// in platform/wavedev/WaveDevTypes.h and WaveDev.h.
#pragma once

#include <cstdint>

namespace orvant {

using MMRESULT = uint32_t;

// The result codes: MMSYSERR_* every multimedia service shares, WAVERR_* the
// wave devices add (one enumeration, so either may stand in one expression).
// The compression manager's ACMERR_* follow in platform/codecs/Acm.h.
enum : MMRESULT {
    MMSYSERR_NOERROR = 0,
    MMSYSERR_ERROR = 1,         // unspecified error
    MMSYSERR_BADDEVICEID = 2,   // device number out of range
    MMSYSERR_NOTENABLED = 3,    // driver failed enable
    MMSYSERR_ALLOCATED = 4,     // device already allocated (busy)
    MMSYSERR_INVALHANDLE = 5,   // device handle is invalid
    MMSYSERR_NODRIVER = 6,      // no device driver present
    MMSYSERR_NOMEM = 7,         // memory allocation error
    MMSYSERR_NOTSUPPORTED = 8,  // function isn't supported
    MMSYSERR_BADERRNUM = 9,     // error value out of range
    MMSYSERR_INVALFLAG = 10,    // invalid flag passed
    MMSYSERR_INVALPARAM = 11,   // invalid parameter passed
    MMSYSERR_HANDLEBUSY = 12,   // handle in use by another thread
    MMSYSERR_INVALIDALIAS = 13,
    MMSYSERR_BADDB = 14,
    MMSYSERR_KEYNOTFOUND = 15,
    MMSYSERR_READERROR = 16,
    MMSYSERR_WRITEERROR = 17,
    MMSYSERR_DELETEERROR = 18,
    MMSYSERR_VALNOTFOUND = 19,
    MMSYSERR_NODRIVERCB = 20,
    MMSYSERR_MOREDATA = 21,
    MMSYSERR_LASTERROR = 21,

    WAVERR_BASE = 32,
    WAVERR_BADFORMAT = 32,     // unsupported wave format
    WAVERR_STILLPLAYING = 33,  // still something playing / header still queued
    WAVERR_UNPREPARED = 34,    // header not prepared
    WAVERR_SYNC = 35,          // device is synchronous
    WAVERR_LASTERROR = 35,
};

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
