#pragma once

// Holds a radio worker inside the first exchange of a chosen connection,
// after sent_count has counted it and before its acknowledgement is looked
// at, until the test lets it go. One at a time per process.
#include <condition_variable>
#include <functional>
#include <mutex>

#include "workers/ConnectionImpl.hpp"
#include "workers/RadioTurn.hpp"

namespace quenfold::orvalis::testing {

class HeldExchange {
  public:
    using Choice = std::function<bool(const ConnectionImpl&)>;

    explicit HeldExchange(Choice choose) : choose_(std::move(choose)) {
        current() = this;
        setExchangeHook(&HeldExchange::hook);
    }
    ~HeldExchange() {
        release();
        setExchangeHook(nullptr);
        current() = nullptr;
    }
    HeldExchange(const HeldExchange&) = delete;
    HeldExchange& operator=(const HeldExchange&) = delete;

    // The connection whose exchange is held, once a worker is held.
    ConnectionImpl& awaitHeld() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return held_ != nullptr; });
        return *held_;
    }

    // Whether a worker began another exchange of the held connection while
    // the first was held: two workers served it at once.
    bool servedTwice() {
        std::lock_guard<std::mutex> lock(mutex_);
        return servedTwice_;
    }

    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
    }

  private:
    static HeldExchange*& current() {
        static HeldExchange* instance = nullptr;
        return instance;
    }

    static void hook(ConnectionImpl& connection) {
        HeldExchange& self = *current();
        std::unique_lock<std::mutex> lock(self.mutex_);
        if (self.held_ != nullptr) {
            self.servedTwice_ |= &connection == self.held_ && !self.released_;
            return;
        }
        if (self.released_ || !self.choose_(connection)) {
            return;
        }
        self.held_ = &connection;
        self.changed_.notify_all();
        self.changed_.wait(lock, [&] { return self.released_; });
    }

    Choice choose_;
    std::mutex mutex_;
    std::condition_variable changed_;
    ConnectionImpl* held_ = nullptr;
    bool released_ = false;
    bool servedTwice_ = false;
};

}  // namespace quenfold::orvalis::testing
