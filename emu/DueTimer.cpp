#include "emu/DueTimer.hpp"

#include <sys/prctl.h>

namespace quenfold::orvalis::emu {

std::shared_ptr<DueTimer> DueTimer::shared() {
    static std::mutex mutex;
    static std::weak_ptr<DueTimer> current;
    std::lock_guard lock(mutex);
    std::shared_ptr<DueTimer> timer = current.lock();
    if (!timer) {
        timer = std::make_shared<DueTimer>();
        current = timer;
    }
    return timer;
}

DueTimer::~DueTimer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void DueTimer::schedule(Client* client, Clock::time_point when) {
    std::lock_guard lock(mutex_);
    auto found = pending_.find(client);
    if (found != pending_.end()) {
        if (found->second == when) {
            return;
        }
        queue_.erase({found->second, client});
        found->second = when;
    } else {
        pending_.emplace(client, when);
    }
    queue_.emplace(when, client);
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { run(); });
    }
    if (queue_.begin()->second == client) {
        // All: a canceller may be waiting on the same condition.
        changed_.notify_all();
    }
}

void DueTimer::cancel(Client* client) {
    std::unique_lock lock(mutex_);
    auto found = pending_.find(client);
    if (found != pending_.end()) {
        queue_.erase({found->second, client});
        pending_.erase(found);
    }
    changed_.wait(lock, [&] { return calling_ != client; });
}

void DueTimer::run() {
    // Paced transfers take a few hundred microseconds: the default timer
    // slack of 50 us would be a tenth of that.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (queue_.empty()) {
            changed_.wait(lock);
            continue;
        }
        auto [when, client] = *queue_.begin();
        if (Clock::now() < when) {
            changed_.wait_until(lock, when);
            continue;
        }
        queue_.erase(queue_.begin());
        pending_.erase(client);
        calling_ = client;
        lock.unlock();
        // A device's call must not throw into this thread (see UrbEngine::due).
        client->due();
        lock.lock();
        calling_ = nullptr;
        changed_.notify_all();
    }
}

}  // namespace quenfold::orvalis::emu
