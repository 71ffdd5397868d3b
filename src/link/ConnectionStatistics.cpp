#include "orvalis/ConnectionStatistics.hpp"

namespace quenfold::orvalis {

std::string ConnectionStatistics::toString() const {
    return "Statistics(sent_count=" + std::to_string(sent_count) +
           ",receive_count=" + std::to_string(receive_count) +
           ",enqueued_count=" + std::to_string(enqueued_count) +
           ",ack_count=" + std::to_string(ack_count) + ")";
}

}  // namespace quenfold::orvalis
