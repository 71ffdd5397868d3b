#pragma once

// Meters the exchanges of the device fuzz target's radio links: each link
// makes as many exchanges as the current input asks of it, then its worker
// waits in the exchange hook (after the exchange is counted, before its
// acknowledgement is looked at) until the next input lets it go on. A worker
// left to ping between inputs would only take the bench's single handler
// thread from the cable link, and would make which exchange takes which
// queued answer a matter of timing; metered, the answers queued while the
// workers wait are taken by exactly the next exchanges of their links.
//
// One gate per process: the hook is a plain function. Connections the gate
// does not know pass through it.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>

#include "workers/ConnectionImpl.hpp"
#include "workers/RadioTurn.hpp"

namespace quenfold::orvalis::fuzzing {

class ExchangeGate {
  public:
    static constexpr std::size_t LinkCount = 2;
    using Clock = std::chrono::steady_clock;
    using Counts = std::array<std::uint64_t, LinkCount>;

    // Open until close(): the links exchange freely while they come up.
    ExchangeGate() {
        allowed_.fill(std::numeric_limits<std::uint64_t>::max());
        current() = this;
        setExchangeHook(&ExchangeGate::hook);
    }
    ExchangeGate(const ExchangeGate&) = delete;
    ExchangeGate& operator=(const ExchangeGate&) = delete;

    void track(std::size_t link, const ConnectionImpl* connection) {
        std::lock_guard<std::mutex> lock(mutex_);
        links_[link] = connection;
    }

    // Stops every link at its next exchange; returns once all wait there, or
    // false when `until` passes first.
    bool close(Clock::time_point until) {
        std::unique_lock<std::mutex> lock(mutex_);
        allowed_.fill(0);
        return changed_.wait_until(lock, until, [this] { return allWaiting(); });
    }

    // Lets each link make `more` further exchanges and waits until every link
    // has made them and waits again; returns false when `until` passes first.
    bool run(const Counts& more, Clock::time_point until) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (std::size_t link = 0; link < LinkCount; ++link) {
            allowed_[link] = done_[link] + more[link];
        }
        changed_.notify_all();
        return changed_.wait_until(lock, until, [this] { return allWaiting(); });
    }

  private:
    static ExchangeGate*& current() {
        static ExchangeGate* gate = nullptr;
        return gate;
    }

    bool allWaiting() const {
        for (std::size_t link = 0; link < LinkCount; ++link) {
            if (done_[link] < allowed_[link] || !waiting_[link]) {
                return false;
            }
        }
        return true;
    }

    static void hook(ConnectionImpl& connection) {
        ExchangeGate& self = *current();
        std::unique_lock<std::mutex> lock(self.mutex_);
        for (std::size_t link = 0; link < LinkCount; ++link) {
            if (self.links_[link] != &connection) {
                continue;
            }
            ++self.done_[link];
            self.waiting_[link] = true;
            self.changed_.notify_all();
            self.changed_.wait(lock, [&] { return self.done_[link] < self.allowed_[link]; });
            self.waiting_[link] = false;
            return;
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::array<const ConnectionImpl*, LinkCount> links_{};
    Counts done_{};
    Counts allowed_{};
    // Whether the link's worker waits in the hook: a link that never
    // exchanged is not counted as waiting.
    std::array<bool, LinkCount> waiting_{};
};

}  // namespace quenfold::orvalis::fuzzing
