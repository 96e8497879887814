// The message layer: callback windows and callback threads, the targets to
// which the wave devices post their messages, and the waits that hand those
// messages out. Implemented in MessageLayer.cpp, with the binding of a
// callback window to Qt's event loop in QtCallbackWindow.cpp.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <type_traits>

#include "platform/wavedev/WaveDevTypes.h"

namespace orvant {

// A callback target receives device messages (and anything posted with
// Post) in a queue and hands them, in the order they were posted, to its
// handler on the target's own thread:
//  - TCallbackWindow belongs to the thread that created it. Its messages are
//    handled whenever that thread runs Qt's event loop (exec, processEvents)
//    or waits in WaitWhileDispatching / DispatchDeviceMessages.
//  - TCallbackThread is a thread of its own, one step above normal priority
//    where the system allows it, with its own queue. It runs until Quit() is
//    posted (after the messages before it are handled) and then ends itself.
// The pointer of a target, cast to DWORD_PTR, is the dwCallback argument of
// waveInOpen / waveOutOpen with CALLBACK_WINDOW or CALLBACK_THREAD.
//
// Lifetime: targets are reference counted, and freed when the last reference
// goes. The references are:
//  - the creator's: Create/Start return a target holding it; the caller gives
//    it up with Release() (a window's Destroy() gives it up itself);
//  - a callback thread's own, given up when its loop ends;
//  - an open device's, from open until it has posted its close message;
//  - a dispatch's, for the duration of one handler call.
// The layer itself holds its references through TTargetRef, so each is given
// up exactly once. Destroy() (window) and Quit() (thread) are safe from inside
// the target's own handler.
//
// States of a target: it takes messages (Post succeeds) until Destroy() or
// Quit(); after that Post fails and, for a window, the messages still queued
// are dropped. A thread's handler sees every message posted before Quit().

// Handler of one message: (message, wParam, lParam). For the device messages
// wParam is the device handle and lParam the WAVEHDR* (or 0).
using TDeviceMessageHandler = std::function<void(UINT msg, DWORD_PTR wParam, DWORD_PTR lParam)>;

class TCallbackTarget {
public:
    TCallbackTarget(const TCallbackTarget&) = delete;
    TCallbackTarget& operator=(const TCallbackTarget&) = delete;

    // Queues a message for the handler; thread-safe, never dispatches
    // synchronously. False once the target no longer takes messages (window
    // destroyed, thread told to quit).
    bool Post(UINT msg, DWORD_PTR wParam, DWORD_PTR lParam);

    // The value to pass as dwCallback, and back.
    DWORD_PTR Handle() const { return reinterpret_cast<DWORD_PTR>(this); }
    // The live target with that handle, or nullptr.
    static TCallbackTarget* FromHandle(DWORD_PTR handle);

    void AddRef();
    void Release();

    // Number of messages waiting to be handled.
    size_t PendingCount() const;

    virtual bool IsThread() const = 0;

protected:
    explicit TCallbackTarget(TDeviceMessageHandler handler);
    virtual ~TCallbackTarget();
    struct TImpl;
    TImpl* fImpl;
    friend struct TMessageLayer;
};

class TCallbackWindow final : public TCallbackTarget {
public:
    // A window bound to the calling thread.
    static TCallbackWindow* Create(TDeviceMessageHandler handler);
    // Stops taking messages, drops those still queued and gives up the
    // creator's reference. Call on the owner thread.
    void Destroy();
    bool IsThread() const override { return false; }

private:
    using TCallbackTarget::TCallbackTarget;
    ~TCallbackWindow() override;
    struct TQtHook;
    TQtHook* fQt = nullptr;
    friend class TCallbackTarget;
    friend struct TMessageLayer;
};

class TCallbackThread final : public TCallbackTarget {
public:
    // Starts the thread; its queue exists before Start returns, so messages
    // can be posted at once.
    static TCallbackThread* Start(TDeviceMessageHandler handler);
    // Posts WM_QUIT: the thread handles what was posted before, then ends.
    // Later posts fail. Does not give up the caller's reference.
    void Quit();
    // True once the thread's loop has ended (after WM_QUIT).
    bool Finished() const;
    // True when the thread runs one step above normal priority (needs the
    // right to raise priority; otherwise it runs at normal priority).
    bool PriorityRaised() const;
    // The kernel thread id, 0 before the thread has started.
    long ThreadId() const;
    bool IsThread() const override { return true; }

private:
    using TCallbackTarget::TCallbackTarget;
    ~TCallbackThread() override;
    void Run();
    struct TThreadState;
    TThreadState* fThread = nullptr;
    friend class TCallbackTarget;
};

// One counted reference to a target, given up when it goes (or on Reset).
// Empty when made from nullptr.
class TTargetRef {
public:
    TTargetRef() = default;
    explicit TTargetRef(TCallbackTarget* t) : fTarget(t) {
        if (fTarget) fTarget->AddRef();
    }
    TTargetRef(TTargetRef&& o) noexcept : fTarget(o.fTarget) { o.fTarget = nullptr; }
    TTargetRef& operator=(TTargetRef&& o) noexcept {
        if (this != &o) {
            Reset();
            fTarget = o.fTarget;
            o.fTarget = nullptr;
        }
        return *this;
    }
    TTargetRef(const TTargetRef&) = delete;
    TTargetRef& operator=(const TTargetRef&) = delete;
    ~TTargetRef() { Reset(); }

    void Reset() {
        if (TCallbackTarget* t = fTarget) {
            fTarget = nullptr;
            t->Release();
        }
    }
    TCallbackTarget* get() const { return fTarget; }
    TCallbackTarget* operator->() const { return fTarget; }
    explicit operator bool() const { return fTarget != nullptr; }

private:
    TCallbackTarget* fTarget = nullptr;
};

// Non-owning reference to a condition (any callable returning bool).
class TWaitCondition {
public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TWaitCondition>>>
    TWaitCondition(F&& f) noexcept  // NOLINT(google-explicit-constructor)
        : fCtx(const_cast<void*>(static_cast<const void*>(&f))),
          fCall([](void* c) -> bool { return (*static_cast<std::remove_reference_t<F>*>(c))(); }) {}
    bool operator()() const { return fCall(fCtx); }

private:
    void* fCtx;
    bool (*fCall)(void*);
};

// Waits until done() is true or timeoutMs have passed (INFINITE: no limit).
// Meanwhile it handles the device messages of every callback target that
// belongs to the calling thread (its callback windows; inside a callback
// thread, that thread's own queue) and nothing else: no keyboard or mouse
// input, no other events of Qt's loop. The condition is checked before the
// wait, after every handled message, whenever a callback thread has handled a
// message, after WakeWaiters(), and at least every 100 ms. Sleeps otherwise.
// Returns WAIT_OBJECT_0 when done() held, WAIT_TIMEOUT when the time ran out.
// Inside a callback thread a WM_QUIT taken by the wait ends the wait
// (WAIT_OBJECT_0) and then the thread.
DWORD WaitWhileDispatching(TWaitCondition done, DWORD timeoutMs = INFINITE);

// Handles the device messages already queued for the calling thread's
// targets, without waiting. Returns how many were handled.
int DispatchDeviceMessages();

// Wakes every WaitWhileDispatching so it checks its condition again. For a
// condition changed outside a message handler.
void WakeWaiters();

// The messages of all targets: how many were posted so far, and how many are
// queued or being handled now. For tests that step simulated devices: the
// targets are idle when nothing is unhandled and nothing was posted between
// two looks.
struct TMessageTraffic {
    uint64_t posted = 0;
    size_t unhandled = 0;
};
TMessageTraffic MessageTraffic();

// Called with an exception that escaped a message handler (the handler should
// catch its own; this is the last resort). The default drops it. Returns the
// previous hook.
using TMessageExceptionHook = std::function<void(std::exception_ptr)>;
TMessageExceptionHook SetMessageExceptionHook(TMessageExceptionHook hook);

}  // namespace orvant
