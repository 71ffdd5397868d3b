#pragma once

#include <condition_variable>
#include <mutex>

namespace quenfold::orvalis {

// A worker's wake-up call. Whatever may give an idle worker something to do
// raises it: a queued packet, a connection given or taken, a stop request.
// The worker clears it before it looks for work and, when it found none,
// waits for it: a raise that comes after the clear is never lost.
class WorkSignal {
  public:
    void raise();
    void clear();
    // Returns once the signal is raised (at once if it is already).
    void wait();

  private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool raised_ = false;
};

}  // namespace quenfold::orvalis
