#pragma once

#include <array>
#include <cstdint>

namespace quenfold::orvalis {

// The dongle's answer to one packet: a status byte, then the reply payload
// that the robot sent back with its acknowledgement.
struct RadioAck {
    std::array<std::uint8_t, 33> raw{};
    std::uint64_t size = 0;  // payload bytes after the status byte, 0 to 32
    // The dongle answered with more than `raw` holds: the answer was dropped,
    // and the exchange counts as not acknowledged.
    bool tooLong = false;

    bool acknowledged() const noexcept { return (raw[0] & 0x01) != 0; }
    const std::uint8_t* payload() const noexcept { return raw.data() + 1; }
};

}  // namespace quenfold::orvalis
