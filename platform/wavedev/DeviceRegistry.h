// The open devices by handle, and the backend that serves new ones
// (InstallWaveBackend / ActiveWaveBackend in WaveBackend.h). A handle is the
// device's address; it is usable only while the registry lists it, so a stale
// or foreign handle is refused, never followed.
#pragma once

#include <memory>
#include <optional>

#include "platform/wavedev/WaveDevice.h"

namespace orvant {

// The open device with that handle and direction, or nullptr.
std::shared_ptr<TDevice> FindDevice(DWORD_PTR handle, TWaveDirection dir);
void AddDevice(std::shared_ptr<TDevice> dev);
void RemoveDevice(DWORD_PTR handle);

// An open device looked up by handle and locked for the length of one call.
// `r` is MMSYSERR_INVALHANDLE when the handle names no open device of that
// direction or the device is closing; the device is not to be used then.
class TLockedDevice {
public:
    TLockedDevice(DWORD_PTR handle, TWaveDirection dir);

    MMRESULT r = MMSYSERR_NOERROR;
    TDevice* operator->() const { return fDev.get(); }
    TDevice& operator*() const { return *fDev; }
    // The device's lock, held, for the calls that need it.
    const TDeviceLock& Lock() const { return *fLock; }

private:
    std::shared_ptr<TDevice> fDev;
    std::optional<TDeviceLock> fLock;
};

}  // namespace orvant
