// A callback window's binding to Qt's event loop of its thread: a
// QSocketNotifier on an eventfd that every post to the window writes, so the
// window's messages are handled whenever that thread runs Qt's loop (exec,
// processEvents), not only in the layer's own waits.

#include <sys/eventfd.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <cerrno>
#include <mutex>

#include "platform/wavedev/MessageLayerInternal.h"

namespace orvant {

// The notifier and its context object live in the window's thread. The hook
// may be unbound from inside its own notification (a handler destroys the
// window): it is then deleted on the way out.
struct TCallbackWindow::TQtHook {
    QObject context;
    QSocketNotifier* notifier = nullptr;
    int activeDepth = 0;  // notifications of this hook in progress
    bool deleteWhenDone = false;
};

// The window's eventfd is readable: hand out everything it has queued.
void TMessageLayer::WindowActivated(TCallbackWindow* w) {
    TCallbackWindow::TQtHook* hook = w->fQt;
    if (!hook) return;  // unbound meanwhile (a notification already on its way)
    uint64_t v;
    while (::read(w->fImpl->eventFd, &v, sizeof v) < 0 && errno == EINTR) {
    }
    TTargetRef keep(w);  // the window outlives its handlers
    THandling handling;
    ++hook->activeDepth;
    TMsg m;
    while (w->fImpl->Pop(m)) Invoke(w, m);
    if (--hook->activeDepth == 0 && hook->deleteWhenDone) delete hook;
}

void TMessageLayer::BindToQt(TCallbackWindow* w) {
    if (!QAbstractEventDispatcher::instance(QThread::currentThread())) return;
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return;
    auto* hook = new TCallbackWindow::TQtHook;
    hook->notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &hook->context);
    QObject::connect(hook->notifier, &QSocketNotifier::activated, &hook->context, [w] { WindowActivated(w); });
    std::lock_guard<std::mutex> g(w->fImpl->lock);
    w->fImpl->eventFd = fd;
    w->fQt = hook;
}

void TMessageLayer::UnbindFromQt(TCallbackWindow* w) {
    TCallbackWindow::TQtHook* hook = w->fQt;
    if (!hook) return;
    w->fQt = nullptr;
    hook->notifier->setEnabled(false);
    if (hook->activeDepth > 0)
        hook->deleteWhenDone = true;  // inside its own notification: delete on the way out
    else
        delete hook;
}

TCallbackWindow::~TCallbackWindow() {
    // Destroy() normally unbound the window on its owner thread.
    if (fQt) {
        fQt->notifier->setEnabled(false);
        delete fQt;
    }
}

}  // namespace orvant
