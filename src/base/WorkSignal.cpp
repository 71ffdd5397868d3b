#include "base/WorkSignal.hpp"

#include <utility>

namespace quenfold::orvalis {

void WorkSignal::raise() {
    {
        MutexLock lock(mutex_);
        raised_ = true;
        if (waker_ != nullptr) {
            std::exchange(waker_, nullptr)->wake();
        }
    }
    condition_.notify_all();
}

void WorkSignal::clear() {
    MutexLock lock(mutex_);
    raised_ = false;
}

void WorkSignal::wait() {
    MutexLock lock(mutex_);
    if (!raised_) {
        ++waits_;
        while (!raised_) {
            lock.wait(condition_);
        }
    }
}

std::uint64_t WorkSignal::waitsBegun() {
    MutexLock lock(mutex_);
    return waits_;
}

bool WorkSignal::arm(Waker& waker) {
    MutexLock lock(mutex_);
    if (raised_) {
        return false;
    }
    ++waits_;
    waker_ = &waker;
    return true;
}

void WorkSignal::disarm() {
    MutexLock lock(mutex_);
    waker_ = nullptr;
}

}  // namespace quenfold::orvalis
