// What every part of an open device shares: its stream and format, its lock,
// its queue of headers, its failure state and the messages it posts. The
// parts (OutputCursor.h, InputReader.h, SoftVolume.h) and the device itself
// (WaveDevice.h) build on this; none of it is part of the public API.
//
// Everything here but Handle() reads or changes state guarded by the device's
// lock. Such calls take a TDeviceLock: the lock, held, so a call that needs it
// cannot be written without it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/WaveDev.h"
#include "platform/wavedev/WaveDevInternal.h"  // SetWaveStreamFailed

namespace orvant {

// A device's lock, held from construction to destruction (the I/O thread lets
// it go around its sleep in the backend, through Guard()).
class TDeviceLock {
public:
    explicit TDeviceLock(std::mutex& m) : fGuard(m) {}
    TDeviceLock(const TDeviceLock&) = delete;
    TDeviceLock& operator=(const TDeviceLock&) = delete;

    // For condition-variable waits and the I/O thread's sleep; owns the lock
    // again whenever it is handed to a part.
    std::unique_lock<std::mutex>& Guard() const { return fGuard; }

private:
    mutable std::unique_lock<std::mutex> fGuard;
};

// The headers queued on a device, oldest first, linked through lpNext (so
// queueing allocates nothing). Guarded by the device's lock.
class THeaderQueue {
public:
    WAVEHDR* Head(const TDeviceLock&) const { return fHead; }
    bool Empty(const TDeviceLock&) const { return !fHead; }

    void Append(const TDeviceLock&, WAVEHDR* h) {
        h->lpNext = nullptr;
        if (fTail)
            fTail->lpNext = h;
        else
            fHead = h;
        fTail = h;
    }
    WAVEHDR* PopHead(const TDeviceLock&) {
        WAVEHDR* h = fHead;
        if (!h) return nullptr;
        fHead = h->lpNext;
        if (!fHead) fTail = nullptr;
        h->lpNext = nullptr;
        return h;
    }

private:
    WAVEHDR* fHead = nullptr;
    WAVEHDR* fTail = nullptr;
};

struct TDeviceCore {
    explicit TDeviceCore(TWaveDirection d) : dir(d) {}
    TDeviceCore(const TDeviceCore&) = delete;
    TDeviceCore& operator=(const TDeviceCore&) = delete;

    // Set once by Open, before the device is published; read-only after.
    const TWaveDirection dir;
    UINT deviceId = 0;
    WAVEFORMATEX format{};
    uint32_t block = 1;  // bytes per frame (a compressed format's block)
    uint32_t samplesPerBlock = 1;  // sample frames in a block
    std::shared_ptr<TWaveBackend> backend;
    TTargetRef target;  // where the messages go (empty: CALLBACK_NULL)

    std::mutex lock;
    // The I/O thread sleeps on it when it has nothing to do; a stop that
    // drains input waits on it for the I/O thread's reads.
    std::condition_variable cv;

    // Guarded by `lock`. The stream is reset by Close after the I/O thread
    // has ended.
    std::unique_ptr<TWaveBackendStream> stream;
    bool failed = false;
    MMRESULT failCode = MMSYSERR_NOERROR;
    THeaderQueue queue;

    DWORD_PTR Handle() const { return reinterpret_cast<DWORD_PTR>(this); }

    // Messages are posted under the lock, so they leave in the order the
    // device produced them: open first, close last.
    void Post(const TDeviceLock&, UINT msg, DWORD_PTR param) {
        if (target) target->Post(msg, Handle(), param);
    }
    // Wakes the I/O thread, whether it sleeps on `cv` or in the backend.
    void Wake(const TDeviceLock&) {
        cv.notify_all();
        if (stream) stream->Interrupt();
    }

    // Marks a header done and posts MM_WIM_DATA / MM_WOM_DONE for it.
    void ReturnHeader(const TDeviceLock& l, WAVEHDR* h) {
        // A caller without a callback polls WHDR_DONE: the flags are
        // published after everything else in the header and its block.
        std::atomic_ref<DWORD>(h->dwFlags).store((h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE, std::memory_order_release);
        Post(l, dir == TWaveDirection::wdInput ? MM_WIM_DATA : MM_WOM_DONE, reinterpret_cast<DWORD_PTR>(h));
    }
    // Returns the queued headers, oldest first, up to `last` (which must be
    // queued) or, with nullptr, all of them.
    void ReturnUpTo(const TDeviceLock& l, WAVEHDR* last) {
        while (WAVEHDR* h = queue.PopHead(l)) {
            ReturnHeader(l, h);
            if (h == last) break;
        }
    }
    void ReturnAll(const TDeviceLock& l) { ReturnUpTo(l, nullptr); }

    // The stream failed: record it and give every buffer back so nobody
    // waits for it. The part that ran the stream clears its own state.
    void Fail(const TDeviceLock& l, MMRESULT code) {
        SetWaveStreamFailed(code);
        failed = true;
        failCode = code;
        ReturnAll(l);
    }
};

}  // namespace orvant
