// What the message layer's two files share (MessageLayer.cpp, and
// QtCallbackWindow.cpp for a window's binding to Qt's event loop); not part of
// the public API.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wavedev/MessageLayer.h"

namespace orvant {

struct TMsg {
    UINT msg;
    DWORD_PTR wParam;
    DWORD_PTR lParam;
};

// A target's queue and state.
//  - `accepting`: true from creation until Destroy() (window) or Quit()
//    (thread); Post fails after. Guarded by `lock`, like the queue.
//  - `refs`: the references (see MessageLayer.h); the target is deleted when
//    the last goes.
//  - `owner`: the thread whose waits hand out the messages (the window's
//    creator; the callback thread while its loop runs, none after). Guarded
//    by the layer's lock of all targets.
//  - `eventFd`: a window bound to Qt's event loop; every post writes it.
//    Set once by the binding, closed with the target.
struct TCallbackTarget::TImpl {
    TDeviceMessageHandler handler;
    mutable std::mutex lock;
    std::vector<TMsg> ring;  // grown only when full: steady traffic allocates nothing
    size_t head = 0;
    size_t count = 0;
    bool accepting = true;
    std::atomic<int> refs{1};
    std::thread::id owner;
    int eventFd = -1;

    // Queues m; the caller holds `lock`.
    void Push(const TMsg& m) {
        if (count == ring.size()) {
            std::vector<TMsg> bigger(ring.size() * 2);
            for (size_t i = 0; i < count; ++i) bigger[i] = ring[(head + i) % ring.size()];
            ring.swap(bigger);
            head = 0;
        }
        ring[(head + count) % ring.size()] = m;
        ++count;
    }
    bool Pop(TMsg& m) {
        std::lock_guard<std::mutex> g(lock);
        if (count == 0) return false;
        m = ring[head];
        head = (head + 1) % ring.size();
        --count;
        return true;
    }
};

struct TMessageLayer {
    // Counts, while it lives, one message taken or about to be taken from a
    // queue and not yet handled (MessageTraffic).
    struct THandling {
        THandling();
        ~THandling();
        THandling(const THandling&) = delete;
        THandling& operator=(const THandling&) = delete;
    };
    // Calls the target's handler; an exception that escapes it goes to the
    // exception hook.
    static void Invoke(TCallbackTarget* t, const TMsg& m);
    // Hands out one message of a target that belongs to this thread.
    static bool DispatchOne();
    // Sets the thread whose waits hand out t's messages.
    static void SetOwner(TCallbackTarget* t, std::thread::id owner);

    // QtCallbackWindow.cpp: binds a new window to Qt's event loop of the
    // calling thread, when it has one (Create), and unbinds it (Destroy, on
    // the owner thread).
    static void BindToQt(TCallbackWindow* w);
    static void UnbindFromQt(TCallbackWindow* w);
    static void WindowActivated(TCallbackWindow* w);
};

}  // namespace orvant
