#pragma once

#include <condition_variable>
#include <cstdint>

#include "base/Mutex.hpp"

namespace quenfold::orvalis {

// A worker's wake-up call. Whatever may give an idle worker something to do
// raises it: a queued packet, a connection given or taken, a stop request.
// The worker clears it before it looks for work and, when it found none,
// waits for it: a raise that comes after the clear is never lost.
class WorkSignal {
  public:
    // A worker that waits for its signal inside something else (the cable
    // worker waits in libusb's event handling, for its robot's packets too)
    // arms a waker: the next raise calls it, instead of waking wait().
    class Waker {
      public:
        // Called with the signal's lock held, from the raising thread: it
        // must not raise the signal nor wait for anything that does.
        virtual void wake() noexcept = 0;

      protected:
        ~Waker() = default;
    };

    void raise() EXCLUDES(mutex_);
    void clear() EXCLUDES(mutex_);
    // Returns once the signal is raised (at once if it is already).
    void wait() EXCLUDES(mutex_);
    // Waits that found the signal down, counted under the signal's lock
    // before waiting: while nothing raises it, a count seen means a waiter.
    std::uint64_t waitsBegun() EXCLUDES(mutex_);

    // Arms the waker for the next raise and counts a wait begun, unless the
    // signal is raised already: then it returns false and arms nothing.
    bool arm(Waker& waker) EXCLUDES(mutex_);
    // Takes back the armed waker, if a raise has not taken it yet; once this
    // returns, no raise calls it any more.
    void disarm() EXCLUDES(mutex_);

  private:
    Mutex mutex_;
    std::condition_variable condition_;
    bool raised_ GUARDED_BY(mutex_) = false;
    std::uint64_t waits_ GUARDED_BY(mutex_) = 0;
    Waker* waker_ GUARDED_BY(mutex_) = nullptr;
};

}  // namespace quenfold::orvalis
