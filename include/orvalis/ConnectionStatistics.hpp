#pragma once

#include <cstdint>
#include <string>

namespace quenfold::orvalis {

// A snapshot of one connection's counters, taken counter by counter.
struct ConnectionStatistics {
    std::uint64_t sent_count = 0;
    std::uint64_t receive_count = 0;
    std::uint64_t enqueued_count = 0;
    std::uint64_t ack_count = 0;

    std::string toString() const;
};

}  // namespace quenfold::orvalis
