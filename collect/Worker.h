// A thread of its own that runs tasks in the order they are posted, with a
// bound on the tasks waiting: the receiving thread hands it the work that
// may overlap the network (inflating, extracting, checking takes).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace orvant::collect {

class TSerialWorker {
public:
    explicit TSerialWorker(size_t maxWaiting);
    // Drops the tasks still waiting and joins the thread.
    ~TSerialWorker();
    TSerialWorker(const TSerialWorker&) = delete;
    TSerialWorker& operator=(const TSerialWorker&) = delete;

    // Queues task, waiting while maxWaiting tasks wait. Once a task raised,
    // later tasks are dropped and Post and Drain raise that exception.
    void Post(std::function<void()> task);
    // Waits until every posted task ran; raises the first task's failure.
    void Drain();

private:
    void Run();
    const size_t fMax;
    std::mutex fLock;
    std::condition_variable fWake;
    std::deque<std::function<void()>> fTasks;
    bool fBusy = false, fStop = false;
    std::exception_ptr fError;
    std::thread fThread;  // last: started once the rest stands
};

}  // namespace orvant::collect
