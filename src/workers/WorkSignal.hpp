#pragma once

#include <condition_variable>
#include <cstdint>
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
    // Waits that found the signal down, counted under the signal's lock
    // before waiting: while nothing raises it, a count seen means a waiter.
    std::uint64_t waitsBegun();

  private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool raised_ = false;
    std::uint64_t waits_ = 0;
};

}  // namespace quenfold::orvalis
