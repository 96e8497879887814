// One open wave device: the shared core (DeviceCore.h), the part for its
// direction (OutputCursor or InputReader), the software volume, and the I/O
// thread that moves frames between the queued headers and the backend stream.
//
// Life of a device: Open fills in the core, opens the stream, posts the open
// message and starts the I/O thread; from then on every change is made under
// the device's lock. Close marks it closing (later calls see an invalid
// handle), stops and joins the I/O thread, drops the stream and posts the
// close message last.
#pragma once

#include <cstdint>
#include <thread>

#include "platform/wavedev/DeviceCore.h"
#include "platform/wavedev/InputReader.h"
#include "platform/wavedev/OutputCursor.h"
#include "platform/wavedev/SoftVolume.h"

namespace orvant {

struct TDevice : TDeviceCore {
    explicit TDevice(TWaveDirection d) : TDeviceCore(d) {}

    TSoftVolume volume;                 // output only
    TOutputCursor out{*this, volume};   // output only
    TInputReader in{*this};             // input only

    std::thread io;
    bool quit = false;     // guarded by the lock: the I/O thread ends
    bool closing = false;  // guarded by the lock: Close has begun

    // Device time in frames: captured (input) or played (output).
    uint64_t PositionFrames(const TDeviceLock& l) const {
        return dir == TWaveDirection::wdInput ? in.Position(l) : out.Played(l);
    }

    // The I/O thread's loop, until `quit`.
    void Run();
};

}  // namespace orvant
