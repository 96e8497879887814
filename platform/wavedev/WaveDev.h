// Wave-audio device services: the waveIn.../waveOut... operations with their
// result codes, buffer headers, device time, capability records and the six
// device messages, plus the message layer that carries those messages to a
// callback window (bound to the opening thread) or a callback thread.
//
// Output opened on the wave mapper (WAVE_MAPPER) plays every format the
// compression manager decodes: what the backend does not take is converted
// on the way (FormatMapper.h). A device opened by number, and input, take
// what the backend takes.
//
// The operations are served by a backend (ALSA by default; a simulated device
// that tests install in-process, see WaveBackend.h and sim/SimWaveBackend.h).
// Every handle passed in is checked: a stale or foreign handle gives
// MMSYSERR_INVALHANDLE, never a crash.
//
// The layer's parts (this folder), each owning one thing:
//  - WaveDevTypes.h: the records, flags and messages (the result codes are
//    in platform/MMSystem.h, shared with the codecs).
//  - WaveDev.h (this file): the waveIn/waveOut operations; it includes the
//    other two public headers, so callers need only this one.
//  - MessageLayer.h/.cpp: callback windows, callback threads, their queues
//    and the waits that dispatch them; MessageLayerInternal.h, what its two
//    files share; QtCallbackWindow.cpp, a window's binding to Qt's event
//    loop of its thread.
//  - WaveDev.cpp: the waveIn/waveOut entry points, thin: argument checks,
//    open and close, then the device's parts do the work.
//  - DeviceRegistry.h/.cpp: the open devices by handle, the installed
//    backend, and TLockedDevice (a handle looked up and its device locked).
//  - WaveDevice.h/.cpp: one open device and its I/O thread.
//  - DeviceCore.h: what a device's parts share: stream, format, lock, queue
//    of headers, failure, messages; and TDeviceLock, the device's lock held,
//    which every call that needs the lock takes, so it shows in the types.
//  - OutputCursor.h/.cpp: output: the write cursor, loops, pause, the ring
//    of chunks written and not yet played, retiring played headers,
//    rewinding after a drop.
//  - InputReader.h/.cpp: input: reading into the queued headers, the drain
//    of a stop, the count of frames captured.
//  - SoftVolume.h/.cpp: the output volume applied to the samples.
//  - FormatMapper.h/.cpp: what output on the wave mapper plays that the
//    backend does not take: the device format it opens in and the stream
//    that converts on the way (through platform/codecs), counting in the
//    caller's format.
//  - WaveBackend.h, WaveBackends.cpp, alsa/, sim/: the backends.
//  - WaveErrors.cpp, WaveDevInternal.h: error texts and shared helpers.
#pragma once

#include <cstdint>

#include "platform/wavedev/MessageLayer.h"
#include "platform/wavedev/WaveDevTypes.h"

namespace orvant {

// Input.
UINT waveInGetNumDevs();
MMRESULT waveInGetDevCapsW(UINT_PTR uDeviceID, WAVEINCAPSW* pwic, UINT cbwic);
MMRESULT waveInGetErrorTextW(MMRESULT mmrError, char16_t* pszText, UINT cchText);
MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveInClose(HWAVEIN hwi);
MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInStart(HWAVEIN hwi);
MMRESULT waveInStop(HWAVEIN hwi);
MMRESULT waveInReset(HWAVEIN hwi);
MMRESULT waveInGetPosition(HWAVEIN hwi, LPMMTIME pmmt, UINT cbmmt);
MMRESULT waveInGetID(HWAVEIN hwi, UINT* puDeviceID);

// Output.
UINT waveOutGetNumDevs();
MMRESULT waveOutGetDevCapsW(UINT_PTR uDeviceID, WAVEOUTCAPSW* pwoc, UINT cbwoc);
MMRESULT waveOutGetErrorTextW(MMRESULT mmrError, char16_t* pszText, UINT cchText);
MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveOutClose(HWAVEOUT hwo);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutPause(HWAVEOUT hwo);
MMRESULT waveOutRestart(HWAVEOUT hwo);
MMRESULT waveOutReset(HWAVEOUT hwo);
MMRESULT waveOutBreakLoop(HWAVEOUT hwo);
MMRESULT waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt);
MMRESULT waveOutGetPitch(HWAVEOUT hwo, DWORD* pdwPitch);
MMRESULT waveOutSetPitch(HWAVEOUT hwo, DWORD dwPitch);
MMRESULT waveOutGetPlaybackRate(HWAVEOUT hwo, DWORD* pdwRate);
MMRESULT waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD dwRate);
MMRESULT waveOutGetVolume(HWAVEOUT hwo, DWORD* pdwVolume);
MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume);
MMRESULT waveOutGetID(HWAVEOUT hwo, UINT* puDeviceID);

}  // namespace orvant
