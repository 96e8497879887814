#include "app/TakeCheck.h"

#include <QMetaObject>
#include <QObject>
#include <QString>

#include <algorithm>
#include <memory>

namespace orvant {

QString DescribeTakeFlags(TTakeFlags flags) { return QString::fromStdString(TakeFlagWords(flags, "\n")); }

// ---------------------------------------------------------------------------

TTakeChecker::TTakeChecker(QObject* context, std::string folder, std::function<void(const TResults&)> onResults)
    : fContext(context), fFolder(std::move(folder)), fOnResults(std::move(onResults)), fThread([this] { Run(); }) {}

TTakeChecker::~TTakeChecker() {
    {
        std::lock_guard<std::mutex> lock(fLock);
        fQuit = true;
        fQueue.clear();
    }
    fWake.notify_all();
    fThread.join();
    // Batches already posted find the checker gone and are dropped.
    *fAlive = false;
}

void TTakeChecker::Check(std::vector<std::string> names) {
    if (names.empty()) return;
    fPending += names.size();
    {
        std::lock_guard<std::mutex> lock(fLock);
        for (std::string& n : names) fQueue.push_back(std::move(n));
    }
    fWake.notify_one();
}

void TTakeChecker::Run() {
    // Verdicts go back in batches: one event per take would flood the event
    // loop at start-up with a large catalogue. Takes that do not exist are
    // only counted; their verdict is the default one.
    constexpr size_t kBatch = 256;
    TResults batch;
    size_t checked = 0;
    std::string path = fFolder;
    std::unique_lock<std::mutex> lock(fLock);
    for (;;) {
        if (fQueue.empty() && checked > 0) {
            lock.unlock();
            Deliver(std::move(batch), checked);
            batch = {};
            checked = 0;
            lock.lock();
            continue;
        }
        fWake.wait(lock, [this] { return fQuit || !fQueue.empty(); });
        if (fQuit) return;
        std::string name = std::move(fQueue.front());
        fQueue.pop_front();
        lock.unlock();
        path.resize(fFolder.size());
        path += name;
        TTakePeaks peaks;
        if (const TTakeCheck check = CheckTakeFile(path, &peaks); check.exists)
            batch.push_back({std::move(name), check, peaks});
        if (++checked >= kBatch) {
            Deliver(std::move(batch), checked);
            batch = {};
            checked = 0;
        }
        lock.lock();
    }
}

void TTakeChecker::Deliver(TResults results, size_t checked) {
    QMetaObject::invokeMethod(
        fContext,
        [this, alive = fAlive, results = std::move(results), checked] {
            if (!*alive) return;
            fPending -= std::min(fPending, checked);
            fOnResults(results);
        },
        Qt::QueuedConnection);
}

}  // namespace orvant
