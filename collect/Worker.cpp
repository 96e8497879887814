#include "collect/Worker.h"

namespace orvant::collect {

TSerialWorker::TSerialWorker(size_t maxWaiting) : fMax(maxWaiting), fThread([this] { Run(); }) {}

TSerialWorker::~TSerialWorker() {
    {
        std::lock_guard<std::mutex> g(fLock);
        fStop = true;
        fTasks.clear();
    }
    fWake.notify_all();
    fThread.join();
}

void TSerialWorker::Post(std::function<void()> task) {
    std::unique_lock<std::mutex> l(fLock);
    fWake.wait(l, [&] { return fError || fTasks.size() < fMax; });
    if (fError) std::rethrow_exception(fError);
    fTasks.push_back(std::move(task));
    l.unlock();
    fWake.notify_all();
}

void TSerialWorker::Drain() {
    std::unique_lock<std::mutex> l(fLock);
    fWake.wait(l, [&] { return fError || (fTasks.empty() && !fBusy); });
    if (fError) std::rethrow_exception(fError);
}

void TSerialWorker::Run() {
    std::unique_lock<std::mutex> l(fLock);
    for (;;) {
        fWake.wait(l, [&] { return fStop || !fTasks.empty(); });
        if (fStop) return;
        std::function<void()> task = std::move(fTasks.front());
        fTasks.pop_front();
        fBusy = true;
        l.unlock();
        std::exception_ptr error;
        try {
            task();
        } catch (...) {
            error = std::current_exception();
        }
        l.lock();
        fBusy = false;
        if (error && !fError) {
            fError = error;
            fTasks.clear();
        }
        fWake.notify_all();
    }
}

}  // namespace orvant::collect
