#include "platform/wavedev/WaveDevice.h"

namespace orvant {

namespace {
constexpr uint32_t kWaitMs = 200;  // longest sleep in the backend before looking again
}  // namespace

void TDevice::Run() {
    TDeviceLock l(lock);
    while (!quit) {
        bool progress = false;
        bool waitOnDevice = false;
        if (!failed)
            progress = dir == TWaveDirection::wdInput ? in.Service(l, waitOnDevice) : out.Service(l, waitOnDevice);
        if (progress) continue;
        if (waitOnDevice) {
            // The backend sleeps without the lock; Wake interrupts it.
            TWaveBackendStream* s = stream.get();
            l.Guard().unlock();
            s->Wait(kWaitMs);
            l.Guard().lock();
        } else {
            cv.wait(l.Guard());
        }
    }
}

}  // namespace orvant
