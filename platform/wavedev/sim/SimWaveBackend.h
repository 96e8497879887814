// Simulated wave devices for tests and benchmarks, installed in-process
// (TWaveBackendInstall). Time comes from a clock the test drives with
// Advance(), or from real time. Input delivers exactly the frames of the
// elapsed time from a generator (silence, a sine) or a WAVE image; output
// consumes exactly the frames of the elapsed time and keeps what it played,
// per block written, with the device time it started to play. Faults can be
// set on request.
//
// With the driven clock nothing happens on the device between Advance calls:
// after Advance(1000) one second of input is ready to be read (and the I/O
// thread reads it), one second of what was written has been played. Output
// room is unlimited there, so a long Advance never underruns while buffers
// are queued; with real time the device buffers BufferMs() ahead.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wavedev/WaveBackend.h"

namespace orvant {

enum class TSimClockMode { scmDriven, scmRealTime };

// One block the simulated output played: the bytes written in one call and
// the device time (microseconds since the backend was made) at which its
// first frame played.
struct TSimOutputBlock {
    uint64_t timeUs = 0;
    std::vector<uint8_t> bytes;
};

// Faults on request. Each code, when not 0, is returned by that step.
struct TSimFaults {
    MMRESULT query = 0;         // format queries and opens refused (e.g. WAVERR_BADFORMAT)
    MMRESULT openAfterQuery = 0;  // queries pass, the real open fails
    bool busy = false;          // open gives MMSYSERR_ALLOCATED, queries pass
    MMRESULT prepare = 0;       // ...PrepareHeader fails
    MMRESULT submit = 0;        // waveInAddBuffer / waveOutWrite fail
    MMRESULT start = 0;         // waveInStart fails
    MMRESULT io = 0;            // the device fails while streaming ...
    uint64_t ioAfterFrames = 0;  // ... after this many frames moved
    bool noPause = false;       // output cannot pause in place (the layer drops and rewrites)
};

class TSimWaveBackend : public TWaveBackend, public std::enable_shared_from_this<TSimWaveBackend> {
public:
    explicit TSimWaveBackend(TSimClockMode mode = TSimClockMode::scmDriven);
    ~TSimWaveBackend() override;

    // --- clock
    // Lets `ms` milliseconds pass on the driven clock (ignored in real time).
    void Advance(uint32_t ms);
    void AdvanceUs(uint64_t us);
    // Device time in microseconds since the backend was made.
    uint64_t NowUs() const;
    TSimClockMode Mode() const { return fMode; }

    // --- devices (default: one input "Simulated Input" and one output
    // "Simulated Output", 1..2 channels, 8 or 16 bit PCM, 8000..48000 Hz)
    void SetDevices(TWaveDirection dir, std::vector<TWaveDeviceInfo> devices);
    // Which formats the devices accept (default: PCM, 8 or 16 bits,
    // 1 or 2 channels, 8000..96000 Hz).
    void SetFormatFilter(std::function<bool(const WAVEFORMATEX&)> accepts);
    // Output room in milliseconds with the real-time clock (default 200).
    void SetBufferMs(uint32_t ms);
    // Input frames reach the reader this long after they were captured, as
    // through a sound server (default 0; streams opened later). Delay counts
    // them from their capture.
    void SetInputLatencyMs(uint32_t ms);

    // --- input source (applies to streams opened later)
    void SetInputSilence();
    // Sine of `hz` with peak `amplitude` (0..1), same on every channel.
    void SetInputSine(double hz, double amplitude);
    // A WAVE image (RIFF file bytes) or raw bytes of the open format: its data
    // is delivered from the start; after its end, silence. A WAVE image whose
    // format differs from the open format is refused at open (WAVERR_BADFORMAT).
    void SetInputWave(std::vector<uint8_t> waveImage);
    void SetInputRaw(std::vector<uint8_t> bytes);

    // --- output capture
    // Whether played output is kept (default true; benchmarks switch it off).
    void SetKeepOutput(bool keep);
    std::vector<TSimOutputBlock> OutputBlocks() const;
    // Every played byte, in order.
    std::vector<uint8_t> OutputBytes() const;
    void ClearOutput();
    // Frames played and captured since the backend was made.
    uint64_t PlayedFrames() const;
    uint64_t CapturedFrames() const;

    // --- faults
    void SetFaults(const TSimFaults& faults);
    TSimFaults Faults() const;

    // Streams open now.
    int OpenStreams() const;
    // Driven clock only: true when every open stream has done what the time
    // so far asks of it (captured frames read, played buffers noticed) and
    // no device's I/O thread is in the middle of a step. Messages the devices
    // posted may still wait to be handled (MessageTraffic in MessageLayer.h).
    bool Settled() const;

    // TWaveBackend
    const char* Name() const override { return "sim"; }
    UINT NumDevs(TWaveDirection dir) override;
    MMRESULT DeviceInfo(TWaveDirection dir, UINT id, TWaveDeviceInfo& info) override;
    MMRESULT QueryFormat(TWaveDirection dir, UINT id, const WAVEFORMATEX& format) override;
    MMRESULT Open(TWaveDirection dir, UINT id, const WAVEFORMATEX& format,
                  std::unique_ptr<TWaveBackendStream>& stream) override;

    struct TState;

private:
    const TSimClockMode fMode;
    std::shared_ptr<TState> fState;
};

}  // namespace orvant
