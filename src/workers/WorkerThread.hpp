#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/Mutex.hpp"
#include "base/WorkSignal.hpp"

namespace quenfold::orvalis {

// The thread of one worker record, with its stop request, its wake-up call
// and its error slot: the one lifecycle of radio and cable workers.
//
// - start() runs the body in a new thread, unless a thread exists (running,
//   or ended and not joined yet) or the worker has failed.
// - stop() asks the body to end, wakes it and joins it. The body looks at
//   stopRequested() between its steps; stop() then clears the request.
// - A body that throws ends its thread: the error's text goes into the error
//   slot, then to the end handler, which hands it to the connections. A
//   worker that failed stays failed: nothing clears the slot, and start()
//   runs no thread for it again; only a new record serves the device again.
// - The end handler runs at every end of the thread, with the failure's text
//   or with "" after a stop, once running() has turned false.
class WorkerThread {
  public:
    using EndHandler = std::function<void(const std::string& failure)>;

    explicit WorkerThread(EndHandler onEnd);
    // Stops the thread. An owner whose body uses its own members stops it
    // first, in its own destructor.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Returns whether a thread was started. Failing to create one throws
    // (resource unavailable) and changes nothing.
    bool start(std::function<void()> body) EXCLUDES(threadMutex_);
    void stop() EXCLUDES(threadMutex_);

    bool stopRequested() const noexcept { return stopRequested_; }
    // Between a start and the end of the body.
    bool running() const noexcept { return running_; }
    bool failed() const EXCLUDES(errorMutex_);
    std::string errorMessage() const EXCLUDES(errorMutex_);

    // Raised by anything that may give the worker something to do.
    const std::shared_ptr<WorkSignal>& signal() const noexcept { return signal_; }

  private:
    void run(const std::function<void()>& body) EXCLUDES(errorMutex_);

    const EndHandler onEnd_;
    const std::shared_ptr<WorkSignal> signal_ = std::make_shared<WorkSignal>();

    Mutex threadMutex_;  // held across start and across stop's join
    std::thread thread_ GUARDED_BY(threadMutex_);
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};

    // Apart from threadMutex_: the error can be read while a stop joins.
    mutable Mutex errorMutex_;
    std::string errorMessage_ GUARDED_BY(errorMutex_);
};

}  // namespace quenfold::orvalis
