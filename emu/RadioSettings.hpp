#pragma once

#include <cstdint>

namespace quenfold::orvalis::emu {

// Where a radio listens: two radios hear each other only when all three match.
struct RadioSettings {
    int channel = 2;
    int datarate = 2;  // 0 = 250K, 1 = 1M, 2 = 2M
    std::uint64_t address = 0xE7E7E7E7E7;

    bool operator==(const RadioSettings& other) const {
        return channel == other.channel && datarate == other.datarate && address == other.address;
    }
};

}  // namespace quenfold::orvalis::emu
