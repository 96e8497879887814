// The records and constants of the wave-device services: handles, the buffer
// header, device time, capability records, open flags and the device
// messages (the result codes come with platform/MMSystem.h). No functions;
// see WaveDev.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/MMSystem.h"

namespace orvant {


using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using UINT_PTR = uintptr_t;
using DWORD_PTR = uintptr_t;
using LPSTR = char*;
using MMVERSION = UINT;

// ---------------------------------------------------------------------------
// Handles. Opaque; 0 (nullptr) is "no device".
struct HWAVEIN__;
struct HWAVEOUT__;
using HWAVEIN = HWAVEIN__*;
using HWAVEOUT = HWAVEOUT__*;
using LPHWAVEIN = HWAVEIN*;
using LPHWAVEOUT = HWAVEOUT*;

// ---------------------------------------------------------------------------
// Result codes: MMSYSERR_* and WAVERR_* are declared in platform/MMSystem.h,
// one set shared with the compression manager.

// Longest error text the platform produces, terminating zero included.
constexpr UINT MAXERRORLENGTH = 256;

// ---------------------------------------------------------------------------
// Buffer header. On the original platform it is 32 bytes; here the pointer
// members make it larger, so the size arguments of the header calls accept
// any value of at least 32 (pass sizeof(WAVEHDR)).
struct wavehdr_tag {
    LPSTR lpData;             // data block
    DWORD dwBufferLength;     // length of the block in bytes
    DWORD dwBytesRecorded;    // input: bytes filled
    DWORD_PTR dwUser;         // free for the caller
    DWORD dwFlags;            // WHDR_*
    DWORD dwLoops;            // loop count (output, on the WHDR_BEGINLOOP header)
    wavehdr_tag* lpNext;      // used by the device layer while queued
    DWORD_PTR reserved;       // used by the device layer while queued
};
using WAVEHDR = wavehdr_tag;
using PWAVEHDR = WAVEHDR*;
using LPWAVEHDR = WAVEHDR*;
using PWaveHdr = WAVEHDR*;

enum : DWORD {
    WHDR_DONE = 0x00000001,       // returned by the device
    WHDR_PREPARED = 0x00000002,   // prepared with ...PrepareHeader
    WHDR_BEGINLOOP = 0x00000004,  // first header of a loop
    WHDR_ENDLOOP = 0x00000008,    // last header of a loop
    WHDR_INQUEUE = 0x00000010,    // queued on the device
};

// ---------------------------------------------------------------------------
// Device time: 12 bytes (wType, then an 8-byte union).
enum : UINT {
    TIME_MS = 0x0001,
    TIME_SAMPLES = 0x0002,
    TIME_BYTES = 0x0004,
    TIME_SMPTE = 0x0008,
    TIME_MIDI = 0x0010,
    TIME_TICKS = 0x0020,
};

struct mmtime_tag {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
        struct {
            BYTE hour;
            BYTE min;
            BYTE sec;
            BYTE frame;
            BYTE fps;
            BYTE dummy;
            BYTE pad[2];
        } smpte;
        struct {
            DWORD songptrpos;
        } midi;
    } u;
};
using MMTIME = mmtime_tag;
using PMMTIME = MMTIME*;
using LPMMTIME = MMTIME*;
static_assert(sizeof(MMTIME) == 12, "device time record is 12 bytes");

// ---------------------------------------------------------------------------
// Capability records. The name holds up to 31 characters and a zero.
constexpr int MAXPNAMELEN = 32;

struct WAVEINCAPSW {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    char16_t szPname[MAXPNAMELEN];
    DWORD dwFormats;  // WAVE_FORMAT_1M08 ...
    WORD wChannels;
    WORD wReserved1;
};
static_assert(sizeof(WAVEINCAPSW) == 80, "input capability record is 80 bytes");

struct WAVEOUTCAPSW {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    char16_t szPname[MAXPNAMELEN];
    DWORD dwFormats;  // WAVE_FORMAT_1M08 ...
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;  // WAVECAPS_*
};
static_assert(sizeof(WAVEOUTCAPSW) == 84, "output capability record is 84 bytes");

// Standard format bits of dwFormats: 1/2/4 = 11025/22050/44100 Hz,
// M/S = mono/stereo, 08/16 = bits.
enum : DWORD {
    WAVE_INVALIDFORMAT = 0x00000000,
    WAVE_FORMAT_1M08 = 0x00000001,
    WAVE_FORMAT_1S08 = 0x00000002,
    WAVE_FORMAT_1M16 = 0x00000004,
    WAVE_FORMAT_1S16 = 0x00000008,
    WAVE_FORMAT_2M08 = 0x00000010,
    WAVE_FORMAT_2S08 = 0x00000020,
    WAVE_FORMAT_2M16 = 0x00000040,
    WAVE_FORMAT_2S16 = 0x00000080,
    WAVE_FORMAT_4M08 = 0x00000100,
    WAVE_FORMAT_4S08 = 0x00000200,
    WAVE_FORMAT_4M16 = 0x00000400,
    WAVE_FORMAT_4S16 = 0x00000800,
    WAVE_FORMAT_48M08 = 0x00001000,
    WAVE_FORMAT_48S08 = 0x00002000,
    WAVE_FORMAT_48M16 = 0x00004000,
    WAVE_FORMAT_48S16 = 0x00008000,
    WAVE_FORMAT_96M08 = 0x00010000,
    WAVE_FORMAT_96S08 = 0x00020000,
    WAVE_FORMAT_96M16 = 0x00040000,
    WAVE_FORMAT_96S16 = 0x00080000,
};

// Output support bits of dwSupport.
enum : DWORD {
    WAVECAPS_PITCH = 0x0001,
    WAVECAPS_PLAYBACKRATE = 0x0002,
    WAVECAPS_VOLUME = 0x0004,
    WAVECAPS_LRVOLUME = 0x0008,
    WAVECAPS_SYNC = 0x0010,
    WAVECAPS_SAMPLEACCURATE = 0x0020,
};

// ---------------------------------------------------------------------------
// Open flags and device numbers.
enum : DWORD {
    CALLBACK_TYPEMASK = 0x00070000,
    CALLBACK_NULL = 0x00000000,    // no messages
    CALLBACK_WINDOW = 0x00010000,  // dwCallback is a TCallbackWindow*
    CALLBACK_TASK = 0x00020000,
    CALLBACK_THREAD = 0x00020000,  // dwCallback is a TCallbackThread*
    CALLBACK_FUNCTION = 0x00030000,  // not supported: MMSYSERR_INVALFLAG
    CALLBACK_EVENT = 0x00050000,     // not supported: MMSYSERR_INVALFLAG

    WAVE_FORMAT_QUERY = 0x0001,  // only ask whether the format is accepted
    WAVE_ALLOWSYNC = 0x0002,
    WAVE_MAPPED = 0x0004,
    WAVE_FORMAT_DIRECT = 0x0008,
};

// The wave mapper: the system's default device.
constexpr UINT WAVE_MAPPER = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------
// Device messages. wParam = the device handle, lParam = the WAVEHDR* for
// MM_WOM_DONE / MM_WIM_DATA, 0 for open and close.
enum : UINT {
    WM_QUIT = 0x0012,
    MM_WOM_OPEN = 0x3BB,
    MM_WOM_CLOSE = 0x3BC,
    MM_WOM_DONE = 0x3BD,
    MM_WIM_OPEN = 0x3BE,
    MM_WIM_CLOSE = 0x3BF,
    MM_WIM_DATA = 0x3C0,
};

// Results of WaitWhileDispatching.
enum : DWORD {
    WAIT_OBJECT_0 = 0,      // the condition became true
    WAIT_TIMEOUT = 258,     // the time ran out first
};
constexpr DWORD INFINITE = 0xFFFFFFFFu;

}  // namespace orvant
