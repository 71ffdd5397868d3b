#pragma once

#include <atomic>
#include <cstdint>

#include "orvalis/ConnectionStatistics.hpp"

namespace quenfold::orvalis {

// The live counters of a connection. Workers write them while host threads
// read them, so each is an atomic; a snapshot reads them one by one. An
// increment publishes what the worker did before it (a reader that sees the
// new count sees that work too).
struct StatisticsCounters {
    std::atomic<std::uint64_t> sent_count{0};
    std::atomic<std::uint64_t> receive_count{0};
    std::atomic<std::uint64_t> enqueued_count{0};
    std::atomic<std::uint64_t> ack_count{0};
    // Transfers from the device longer than the link format allows, dropped
    // (a cable robot's packet, a dongle's answer to this connection's exchange).
    std::atomic<std::uint64_t> too_long_count{0};

    ConnectionStatistics snapshot() const noexcept {
        ConnectionStatistics copy;
        copy.sent_count = sent_count.load(std::memory_order_acquire);
        copy.receive_count = receive_count.load(std::memory_order_acquire);
        copy.enqueued_count = enqueued_count.load(std::memory_order_acquire);
        copy.ack_count = ack_count.load(std::memory_order_acquire);
        return copy;
    }

    // Returns the value before the increment.
    static std::uint64_t bump(std::atomic<std::uint64_t>& counter) noexcept {
        return counter.fetch_add(1, std::memory_order_release);
    }
};

}  // namespace quenfold::orvalis
