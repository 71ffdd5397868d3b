#include "workers/WorkSignal.hpp"

namespace quenfold::orvalis {

void WorkSignal::raise() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        raised_ = true;
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

}  // namespace quenfold::orvalis
