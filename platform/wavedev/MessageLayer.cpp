// Callback windows, callback threads and the waits that dispatch their
// messages.
//
// Every target keeps its messages in a ring of its own (grown only when full,
// so steady traffic allocates nothing) and remembers the thread that handles
// them. A wait on some thread hands out the messages of that thread's targets
// only. Everything that may let a wait's condition change (a post, a message
// handled on a callback thread, a thread ending, WakeWaiters) bumps one
// process-wide generation counter and wakes the waiters.
//
// A callback window is also reached by Qt's event loop of its thread: a
// QSocketNotifier watches an eventfd that every post writes to.

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/wavedev/WaveDev.h"

namespace orvant {

namespace {

struct TMsg {
    UINT msg;
    DWORD_PTR wParam;
    DWORD_PTR lParam;
};

std::mutex gWaitLock;
// Never destroyed: a callback thread that has just finished may still wake
// the waiters while the process exits and runs the static destructors.
std::condition_variable& gWaitCv = *new std::condition_variable;
uint64_t gGeneration = 0;

std::mutex gTargetsLock;
std::unordered_set<TCallbackTarget*>* gTargets = new std::unordered_set<TCallbackTarget*>;  // never freed: outlives statics

std::mutex gHookLock;
TMessageExceptionHook gHook;

// Set when a wait on this thread has taken WM_QUIT of its callback thread.
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

void WakeWaiters() {
    {
        std::lock_guard<std::mutex> g(gWaitLock);
        ++gGeneration;
    }
    gWaitCv.notify_all();
}

TMessageExceptionHook SetMessageExceptionHook(TMessageExceptionHook hook) {
    std::lock_guard<std::mutex> g(gHookLock);
    std::swap(gHook, hook);
    return hook;
}

struct TCallbackTarget::TImpl {
    TDeviceMessageHandler handler;
    mutable std::mutex lock;
    std::vector<TMsg> ring;
    size_t head = 0;
    size_t count = 0;
    bool accepting = true;
    std::atomic<int> refs{1};
    std::thread::id owner;  // guarded by gTargetsLock
    int eventFd = -1;       // windows with a Qt hook: written on every post

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

// Qt's side of a callback window: a socket notifier on the window's eventfd,
// living in the window's thread.
struct TCallbackWindow::TQtHook {
    QObject context;
    QSocketNotifier* notifier = nullptr;
    int activeDepth = 0;
    bool deleteWhenDone = false;
};

struct TMessageLayer {
    static void Invoke(TCallbackTarget* t, const TMsg& m) {
        try {
            if (t->fImpl->handler) t->fImpl->handler(m.msg, m.wParam, m.lParam);
        } catch (...) {
            ReportException(std::current_exception());
        }
    }

    // Hands out one message of a target that belongs to this thread.
    static bool DispatchOne() {
        TCallbackTarget* t = nullptr;
        const auto me = std::this_thread::get_id();
        {
            std::lock_guard<std::mutex> g(gTargetsLock);
            for (TCallbackTarget* x : *gTargets) {
                if (x->fImpl->owner != me) continue;
                std::lock_guard<std::mutex> gl(x->fImpl->lock);
                if (x->fImpl->count > 0) {
                    t = x;
                    t->fImpl->refs.fetch_add(1);
                    break;
                }
            }
        }
        if (!t) return false;
        TMsg m;
        const bool got = t->fImpl->Pop(m);
        if (got) {
            if (m.msg == WM_QUIT && t->IsThread()) {
                tQuitTaken = true;
            } else {
                Invoke(t, m);
                // A handler on a callback thread may have changed what a
                // wait on another thread is waiting for.
                if (t->IsThread()) WakeWaiters();
            }
        }
        t->Release();
        return got;
    }

    static void WindowActivated(TCallbackWindow* w) {
        TCallbackWindow::TQtHook* hook = w->fQt;
        if (!hook) return;
        uint64_t v;
        while (::read(w->fImpl->eventFd, &v, sizeof v) < 0 && errno == EINTR) {
        }
        w->AddRef();
        ++hook->activeDepth;
        TMsg m;
        while (w->fImpl->Pop(m)) Invoke(w, m);
        if (--hook->activeDepth == 0 && hook->deleteWhenDone) delete hook;
        w->Release();
    }
};

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
    {
        std::lock_guard<std::mutex> g(gTargetsLock);
        w->fImpl->owner = std::this_thread::get_id();
    }
    // Bind to Qt's event loop when this thread has one.
    if (QAbstractEventDispatcher::instance(QThread::currentThread())) {
        int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd >= 0) {
            auto* hook = new TQtHook;
            hook->notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &hook->context);
            QObject::connect(hook->notifier, &QSocketNotifier::activated, &hook->context,
                             [w] { TMessageLayer::WindowActivated(w); });
            std::lock_guard<std::mutex> g(w->fImpl->lock);
            w->fImpl->eventFd = fd;
            w->fQt = hook;
        }
    }
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
    if (TQtHook* hook = fQt) {
        fQt = nullptr;
        hook->notifier->setEnabled(false);
        if (hook->activeDepth > 0)
            hook->deleteWhenDone = true;  // inside its own notification: delete on the way out
        else
            delete hook;
    }
    Release();
}

TCallbackWindow::~TCallbackWindow() {
    // Destroy() normally removed the hook on the owner thread.
    if (fQt) {
        fQt->notifier->setEnabled(false);
        delete fQt;
    }
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
    t->AddRef();  // the thread's own reference, given up when it ends
    std::thread([t] { t->Run(); }).detach();
    return t;
}

void TCallbackThread::Run() {
    const long tid = static_cast<long>(::syscall(SYS_gettid));
    fThread->tid = tid;
    // One step above normal: a nice value one lower than the process's.
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno == 0 && ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice - 1) == 0) fThread->raised = true;
    {
        std::lock_guard<std::mutex> g(gTargetsLock);
        fImpl->owner = std::this_thread::get_id();
    }
    tQuitTaken = false;
    while (!tQuitTaken) WaitWhileDispatching([] { return tQuitTaken; }, INFINITE);
    {
        std::lock_guard<std::mutex> g(gTargetsLock);
        fImpl->owner = std::thread::id();
    }
    fThread->finished = true;
    WakeWaiters();
    Release();
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
        uint64_t gen;
        {
            std::lock_guard<std::mutex> g(gWaitLock);
            gen = gGeneration;
        }
        while (TMessageLayer::DispatchOne()) {
            if (tQuitTaken) return WAIT_OBJECT_0;
            if (done()) return WAIT_OBJECT_0;
        }
        if (tQuitTaken || done()) return WAIT_OBJECT_0;
        auto now = Clock::now();
        if (timeoutMs != INFINITE && now >= deadline) return WAIT_TIMEOUT;
        auto until = now + std::chrono::milliseconds(100);
        if (timeoutMs != INFINITE && deadline < until) until = deadline;
        std::unique_lock<std::mutex> g(gWaitLock);
        gWaitCv.wait_until(g, until, [&] { return gGeneration != gen; });
    }
}

}  // namespace orvant
