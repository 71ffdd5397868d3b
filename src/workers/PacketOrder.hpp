#pragma once

#include <queue>
#include <vector>

#include "orvalis/Packet.hpp"

namespace quenfold::orvalis {

// Queue order: lowest port first, then lowest seq. std::priority_queue hands
// out its largest element, so "less" here means "leaves later".
struct PacketOrder {
    bool operator()(const Packet& a, const Packet& b) const noexcept {
        if (a.port() != b.port()) {
            return a.port() > b.port();
        }
        return a.seq() > b.seq();
    }
};

using PacketQueue = std::priority_queue<Packet, std::vector<Packet>, PacketOrder>;

}  // namespace quenfold::orvalis
