// The passive backend under the wave-device layer. A backend enumerates
// devices, answers capability and format questions and opens streams; a
// stream moves frames when asked and never calls back. Header preparation,
// the queue of buffers, positions, reset and the device messages live in the
// layer (its parts are listed in WaveDev.h), which drives each open stream
// from an I/O thread of its own (WaveDevice.cpp).
//
// Backends are listed in one table (WaveBackends.cpp). The layer uses the
// installed backend; without an installation it is "alsa". Tests install the
// simulated device in-process:
//
//     auto sim = std::make_shared<TSimWaveBackend>();   // test-driven clock
//     TWaveBackendInstall use(sim);                      // restored on scope exit
//     ... open devices, queue buffers ...
//     sim->Advance(1000);   // one second passes on the device
//     WaitWhileDispatching([&] { return got == 2; });   // wait for the messages
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/wavedev/WaveDev.h"

namespace orvant {

enum class TWaveDirection { wdInput, wdOutput };

// What a backend tells about one device.
struct TWaveDeviceInfo {
    std::string name;    // shown in the capability record (cut to 31 characters)
    DWORD formats = 0;   // WAVE_FORMAT_1M08 ... bits
    WORD channels = 0;   // most channels
    DWORD support = 0;   // output: WAVECAPS_* bits
};

// One open device. All calls but Wait and Interrupt are made under the
// layer's per-device lock, so a stream need not guard itself against
// concurrent calls of those; Wait runs without the lock and Interrupt may be
// called from any thread at any time.
class TWaveBackendStream {
public:
    virtual ~TWaveBackendStream() = default;

    // Input: begin capturing (frames start to accumulate). Output: nothing
    // (playback starts with the first frames written).
    virtual MMRESULT Start() = 0;

    // Moves up to `frames` frames without blocking; `done` gets how many were
    // moved (0 when the device has no data or no room now). Overruns and
    // underruns are recovered inside; an error result means the device
    // failed.
    virtual MMRESULT Read(void* data, uint32_t frames, uint32_t& done) = 0;
    virtual MMRESULT Write(const void* data, uint32_t frames, uint32_t& done) = 0;

    // Blocks until the device can move frames (input data or output room),
    // Interrupt() was called (also before this call, once), or timeoutMs
    // passed.
    virtual void Wait(uint32_t timeoutMs) = 0;
    virtual void Interrupt() = 0;

    // Discards what is buffered in the device: output not yet played, input
    // captured but not read. Input stops capturing until Start().
    virtual void Drop() = 0;

    // Output: frames written and not yet played. Input: frames captured and
    // not yet read.
    virtual uint32_t Delay() = 0;

    // Output: pauses or resumes playback in place, keeping the frames not yet
    // played. False when the device cannot; the layer then drops them and
    // writes them again on resume.
    virtual bool Pause(bool pause) = 0;

    // Frames the layer should move per call at most (the device's period).
    virtual uint32_t PeriodFrames() const = 0;

    // Hooks for header preparation and queueing (waveInPrepareHeader,
    // waveOutPrepareHeader; waveInAddBuffer, waveOutWrite). Real devices
    // accept every header; the simulated one can fail on request.
    virtual MMRESULT PrepareHeader(const WAVEHDR&) { return MMSYSERR_NOERROR; }
    virtual MMRESULT SubmitHeader(const WAVEHDR&) { return MMSYSERR_NOERROR; }
};

class TWaveBackend {
public:
    virtual ~TWaveBackend() = default;
    virtual const char* Name() const = 0;

    virtual UINT NumDevs(TWaveDirection dir) = 0;
    // id is 0..NumDevs-1 or WAVE_MAPPER; MMSYSERR_BADDEVICEID otherwise.
    virtual MMRESULT DeviceInfo(TWaveDirection dir, UINT id, TWaveDeviceInfo& info) = 0;
    // Whether the device would accept the format, without keeping it open.
    // The format has been checked for consistency by the layer.
    virtual MMRESULT QueryFormat(TWaveDirection dir, UINT id, const WAVEFORMATEX& format) = 0;
    virtual MMRESULT Open(TWaveDirection dir, UINT id, const WAVEFORMATEX& format,
                          std::unique_ptr<TWaveBackendStream>& stream) = 0;
};

// The table of backends: names in table order ("alsa", "sim").
std::vector<std::string> WaveBackendNames();
// A new backend from the table; nullptr for an unknown name.
std::shared_ptr<TWaveBackend> CreateWaveBackend(const std::string& name);

// Makes `backend` serve every later waveIn/waveOut call (devices already
// open keep theirs). nullptr goes back to the default ("alsa"). Returns the
// backend installed before.
std::shared_ptr<TWaveBackend> InstallWaveBackend(std::shared_ptr<TWaveBackend> backend);
// The backend now serving calls (the default is created on first use).
std::shared_ptr<TWaveBackend> ActiveWaveBackend();

// Installs a backend for the lifetime of the object, then puts back the one
// before.
class TWaveBackendInstall {
public:
    explicit TWaveBackendInstall(std::shared_ptr<TWaveBackend> backend)
        : fPrevious(InstallWaveBackend(std::move(backend))) {}
    ~TWaveBackendInstall() { InstallWaveBackend(std::move(fPrevious)); }
    TWaveBackendInstall(const TWaveBackendInstall&) = delete;
    TWaveBackendInstall& operator=(const TWaveBackendInstall&) = delete;

private:
    std::shared_ptr<TWaveBackend> fPrevious;
};

// Backends report failures as result codes; where the system said more (an
// ALSA error text), they record it here, and the error-text calls add it to
// the text of that code until another failure is recorded (every open or
// format query starts afresh).
void SetWaveErrorDetail(MMRESULT code, const std::string& detail);

// Number of wave devices (input plus output) open right now.
int OpenWaveDeviceCount();
// Returns once no open device's I/O thread is in the middle of a step (one
// that moves frames and returns buffers): takes each device's lock once.
void SyncOpenWaveDevices();

}  // namespace orvant
