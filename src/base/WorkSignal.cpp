#include "base/WorkSignal.hpp"

#include <utility>

namespace quenfold::orvalis {

void WorkSignal::raise() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        raised_ = true;
        if (waker_ != nullptr) {
            std::exchange(waker_, nullptr)->wake();
        }
    }
    condition_.notify_all();
}

void WorkSignal::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    raised_ = false;
}

void WorkSignal::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!raised_) {
        ++waits_;
        condition_.wait(lock, [this] { return raised_; });
    }
}

std::uint64_t WorkSignal::waitsBegun() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waits_;
}

bool WorkSignal::arm(Waker& waker) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (raised_) {
        return false;
    }
    ++waits_;
    waker_ = &waker;
    return true;
}

void WorkSignal::disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    waker_ = nullptr;
}

}  // namespace quenfold::orvalis
