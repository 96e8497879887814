// The take checks (wave/WaveCheck.h) as the window shows them, and a worker
// thread that checks takes off the main thread and hands the verdicts, with
// each take's peak summary, back to it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "wave/WaveCheck.h"

class QObject;
class QString;

namespace orvant {

// The flags in words (TakeFlagWords), one per line; empty without flags.
QString DescribeTakeFlags(TTakeFlags flags);

// One worker thread that checks the takes of one folder, in the order they
// are asked for. Verdicts go to onResults, in batches, on the thread of
// context (through its event loop); none is delivered once the checker is
// destroyed.
class TTakeChecker {
public:
    // A take's verdict and its peak summary, by take name.
    struct TResult {
        std::string name;
        TTakeCheck check;
        TTakePeaks peaks;
    };
    using TResults = std::vector<TResult>;

    TTakeChecker(QObject* context, std::string folder, std::function<void(const TResults&)> onResults);
    // Drops what is still queued and waits for the file in hand.
    ~TTakeChecker();
    TTakeChecker(const TTakeChecker&) = delete;
    TTakeChecker& operator=(const TTakeChecker&) = delete;

    // Queues the takes named (file names inside the folder).
    void Check(std::vector<std::string> names);
    // Takes asked for whose verdict has not yet reached onResults (counted
    // on the context's thread).
    size_t Pending() const { return fPending; }

private:
    void Run();
    void Deliver(TResults results, size_t checked);

    QObject* fContext;
    const std::string fFolder;
    std::function<void(const TResults&)> fOnResults;
    size_t fPending = 0;
    // Read and cleared on the context's thread only.
    std::shared_ptr<bool> fAlive = std::make_shared<bool>(true);
    std::mutex fLock;
    std::condition_variable fWake;
    std::deque<std::string> fQueue;
    bool fQuit = false;
    std::thread fThread;  // last: started once everything it uses exists
};

}  // namespace orvant
