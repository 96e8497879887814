// Callback windows, callback threads and the waits that dispatch their
// messages.
//
// Every target keeps its messages in a ring of its own and remembers the
// thread that handles them (see TImpl in MessageLayerInternal.h). A wait on
// some thread hands out the messages of that thread's targets only.
// A callback window is also reached by Qt's event loop of its thread
// (QtCallbackWindow.cpp).

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "platform/wavedev/MessageLayerInternal.h"

namespace orvant {

namespace {

// The wake-ups of the waits. Everything that may let a wait's condition
// change (a post, a message handled on a callback thread, a thread ending,
// WakeWaiters) counts one more generation and wakes every wait; a wait notes
// the generation before it looks at its condition and sleeps only while the
// generation is still the one it noted, so no wake-up between the look and
// the sleep is lost.
class TWakeups {
public:
    uint64_t Generation() {
        std::lock_guard<std::mutex> g(fLock);
        return fGeneration;
    }
    void WakeAll() {
        {
            std::lock_guard<std::mutex> g(fLock);
            ++fGeneration;
        }
        fCv.notify_all();
    }
    // Sleeps until the generation differs from `seen` or `until` is reached.
    void WaitPast(uint64_t seen, std::chrono::steady_clock::time_point until) {
        std::unique_lock<std::mutex> g(fLock);
        fCv.wait_until(g, until, [&] { return fGeneration != seen; });
    }

private:
    std::mutex fLock;
    std::condition_variable fCv;
    uint64_t fGeneration = 0;
};
// Never destroyed: a callback thread that has just finished may still wake
// the waiters while the process exits and runs the static destructors.
TWakeups& gWakeups = *new TWakeups;

// Every live target, for FromHandle and for the waits to find the targets of
// their thread. Never freed: outlives statics.
std::mutex gTargetsLock;
std::unordered_set<TCallbackTarget*>* gTargets = new std::unordered_set<TCallbackTarget*>;

std::mutex gHookLock;
TMessageExceptionHook gHook;

// Posts so far, and messages taken from a queue whose handler has not
// returned yet (counted before they leave the queue).
std::atomic<uint64_t> gPosted{0};
std::atomic<size_t> gHandling{0};

// Set on a callback thread once a dispatch there has taken the thread's
// WM_QUIT: the wait in progress returns, DispatchDeviceMessages stops, and the
// thread's loop (TCallbackThread::Run) ends. Per thread, since each callback
// thread quits on its own; false on every other thread.
thread_local bool tQuitTaken = false;

void ReportException(std::exception_ptr e) {
    TMessageExceptionHook hook;
    {
        std::lock_guard<std::mutex> g(gHookLock);
        hook = gHook;
    }
    if (hook) {
        try {
            hook(e);
        } catch (...) {
        }
    }
}

}  // namespace

void TMessageLayer::SetOwner(TCallbackTarget* t, std::thread::id owner) {
    std::lock_guard<std::mutex> g(gTargetsLock);
    t->fImpl->owner = owner;
}

void WakeWaiters() { gWakeups.WakeAll(); }

TMessageLayer::THandling::THandling() { gHandling.fetch_add(1); }
TMessageLayer::THandling::~THandling() { gHandling.fetch_sub(1); }

TMessageTraffic MessageTraffic() {
    TMessageTraffic t;
    t.posted = gPosted.load();
    {
        std::lock_guard<std::mutex> g(gTargetsLock);
        for (const TCallbackTarget* x : *gTargets) t.unhandled += x->PendingCount();
    }
    // The queues first: a message is counted as being handled before it
    // leaves its queue, so one on its way is seen at least once.
    t.unhandled += gHandling.load();
    return t;
}

TMessageExceptionHook SetMessageExceptionHook(TMessageExceptionHook hook) {
    std::lock_guard<std::mutex> g(gHookLock);
    std::swap(gHook, hook);
    return hook;
}

void TMessageLayer::Invoke(TCallbackTarget* t, const TMsg& m) {
    try {
        if (t->fImpl->handler) t->fImpl->handler(m.msg, m.wParam, m.lParam);
    } catch (...) {
        ReportException(std::current_exception());
    }
}

bool TMessageLayer::DispatchOne() {
    TTargetRef t;  // held for the handler: it may destroy its own target
    const auto me = std::this_thread::get_id();
    {
        // A target with messages for this thread still has its creator's or
        // its thread's reference: taking one more under the lock is safe.
        std::lock_guard<std::mutex> g(gTargetsLock);
        for (TCallbackTarget* x : *gTargets) {
            if (x->fImpl->owner != me) continue;
            std::lock_guard<std::mutex> gl(x->fImpl->lock);
            if (x->fImpl->count > 0) {
                t = TTargetRef(x);
                break;
            }
        }
    }
    if (!t) return false;
    TMsg m;
    THandling handling;
    const bool got = t->fImpl->Pop(m);
    if (got) {
        if (m.msg == WM_QUIT && t->IsThread()) {
            tQuitTaken = true;
        } else {
            Invoke(t.get(), m);
            // A handler on a callback thread may have changed what a wait on
            // another thread is waiting for.
            if (t->IsThread()) WakeWaiters();
        }
    }
    return got;
}

// ---------------------------------------------------------------------------

TCallbackTarget::TCallbackTarget(TDeviceMessageHandler handler) : fImpl(new TImpl) {
    fImpl->handler = std::move(handler);
    fImpl->ring.resize(64);
    std::lock_guard<std::mutex> g(gTargetsLock);
    gTargets->insert(this);
}

TCallbackTarget::~TCallbackTarget() {
    {
        std::lock_guard<std::mutex> g(gTargetsLock);
        gTargets->erase(this);
    }
    if (fImpl->eventFd >= 0) ::close(fImpl->eventFd);
    delete fImpl;
}

bool TCallbackTarget::Post(UINT msg, DWORD_PTR wParam, DWORD_PTR lParam) {
    {
        std::lock_guard<std::mutex> g(fImpl->lock);
        if (!fImpl->accepting) return false;
        fImpl->Push(TMsg{msg, wParam, lParam});
        gPosted.fetch_add(1);
        if (fImpl->eventFd >= 0) {
            const uint64_t one = 1;
            ssize_t r;
            do r = ::write(fImpl->eventFd, &one, sizeof one);
            while (r < 0 && errno == EINTR);
        }
    }
    WakeWaiters();
    return true;
}

TCallbackTarget* TCallbackTarget::FromHandle(DWORD_PTR handle) {
    auto* t = reinterpret_cast<TCallbackTarget*>(handle);
    std::lock_guard<std::mutex> g(gTargetsLock);
    return gTargets->count(t) ? t : nullptr;
}

void TCallbackTarget::AddRef() { fImpl->refs.fetch_add(1); }

void TCallbackTarget::Release() {
    if (fImpl->refs.fetch_sub(1) == 1) delete this;
}

size_t TCallbackTarget::PendingCount() const {
    std::lock_guard<std::mutex> g(fImpl->lock);
    return fImpl->count;
}

// ---------------------------------------------------------------------------

TCallbackWindow* TCallbackWindow::Create(TDeviceMessageHandler handler) {
    auto* w = new TCallbackWindow(std::move(handler));
    TMessageLayer::SetOwner(w, std::this_thread::get_id());
    TMessageLayer::BindToQt(w);
    return w;
}

void TCallbackWindow::Destroy() {
    {
        std::lock_guard<std::mutex> g(fImpl->lock);
        if (!fImpl->accepting && !fQt) return;  // destroyed before
        fImpl->accepting = false;
        fImpl->count = 0;
        fImpl->head = 0;
    }
    TMessageLayer::UnbindFromQt(this);
    Release();  // the creator's reference
}

// ---------------------------------------------------------------------------

struct TCallbackThread::TThreadState {
    std::atomic<bool> finished{false};
    std::atomic<bool> raised{false};
    std::atomic<long> tid{0};
};

TCallbackThread* TCallbackThread::Start(TDeviceMessageHandler handler) {
    auto* t = new TCallbackThread(std::move(handler));
    t->fThread = new TThreadState;
    // The thread's own reference, given up when its loop has ended.
    std::thread([t, self = TTargetRef(t)]() mutable {
        t->Run();
        self.Reset();
    }).detach();
    return t;
}

void TCallbackThread::Run() {
    const long tid = static_cast<long>(::syscall(SYS_gettid));
    fThread->tid = tid;
    // One step above normal: a nice value one lower than the process's.
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno == 0 && ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice - 1) == 0) fThread->raised = true;
    TMessageLayer::SetOwner(this, std::this_thread::get_id());
    tQuitTaken = false;
    while (!tQuitTaken) WaitWhileDispatching([] { return tQuitTaken; }, INFINITE);
    TMessageLayer::SetOwner(this, std::thread::id());
    fThread->finished = true;
    WakeWaiters();
}

void TCallbackThread::Quit() {
    {
        std::lock_guard<std::mutex> g(fImpl->lock);
        if (!fImpl->accepting) return;
        fImpl->Push(TMsg{WM_QUIT, 0, 0});
        fImpl->accepting = false;
    }
    WakeWaiters();
}

bool TCallbackThread::Finished() const { return fThread->finished; }
bool TCallbackThread::PriorityRaised() const { return fThread->raised; }
long TCallbackThread::ThreadId() const { return fThread->tid; }

TCallbackThread::~TCallbackThread() { delete fThread; }

// ---------------------------------------------------------------------------

int DispatchDeviceMessages() {
    int n = 0;
    while (!tQuitTaken && TMessageLayer::DispatchOne()) ++n;
    return n;
}

DWORD WaitWhileDispatching(TWaitCondition done, DWORD timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const uint64_t gen = gWakeups.Generation();
        while (TMessageLayer::DispatchOne()) {
            if (tQuitTaken) return WAIT_OBJECT_0;
            if (done()) return WAIT_OBJECT_0;
        }
        if (tQuitTaken || done()) return WAIT_OBJECT_0;
        auto now = Clock::now();
        if (timeoutMs != INFINITE && now >= deadline) return WAIT_TIMEOUT;
        auto until = now + std::chrono::milliseconds(100);
        if (timeoutMs != INFINITE && deadline < until) until = deadline;
        gWakeups.WaitPast(gen, until);
    }
}

}  // namespace orvant
