// The input side of a device: reading what the backend captured into the
// queued headers, the count of frames captured, and stopping with a drain of
// what is still on its way. Every call takes the device's lock, held.
#pragma once

#include <cstdint>

#include "platform/wavedev/DeviceCore.h"

namespace orvant {

class TInputReader {
public:
    explicit TInputReader(TDeviceCore& device) : fDev(device) {}

    bool Started(const TDeviceLock&) const { return fStarted; }
    // waveInStart on a device that has not failed and is not started.
    MMRESULT Start(const TDeviceLock& l);
    // waveInStop on a started device: what was captured before the stop
    // still goes into the buffers; a partly filled first buffer comes back.
    void Stop(const TDeviceLock& l);
    // waveInReset: stops (with the same drain) and returns every buffer.
    void Reset(const TDeviceLock& l);

    // One round of the I/O thread: reads what the backend holds. Returns true
    // when frames moved; `waitOnDevice` tells whether the thread should sleep
    // in the backend (buffers wait for data) rather than on the condition.
    bool Service(const TDeviceLock& l, bool& waitOnDevice);

    // Frames captured since open or reset (read, plus what the backend holds
    // while capturing).
    uint64_t Position(const TDeviceLock& l) const;

private:
    bool ReadAvailable(const TDeviceLock& l);
    void Drain(const TDeviceLock& l);
    void Failed(const TDeviceLock& l, MMRESULT code);

    TDeviceCore& fDev;
    bool fStarted = false;
    uint64_t fReadFrames = 0;
    bool fDraining = false;    // a stop waits for the frames before it
    uint64_t fDrainUntil = 0;  // while draining: read up to this count, no further
};

}  // namespace orvant
