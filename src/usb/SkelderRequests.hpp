#pragma once

#include <cstdint>

namespace quenfold::orvalis::skelder {

// The dongle's vendor control requests (host to device, interface 0). The
// driver sends them, the emulated dongle answers them and the benchmarks
// count them, all by these codes.
enum Request : std::uint8_t {
    SetChannel = 0x01,
    SetAddress = 0x02,
    SetDatarate = 0x03,
    // Sent once when the dongle is opened; their effect is not documented.
    Setup04 = 0x04,
    Setup05 = 0x05,
    Setup06 = 0x06,
    SetEnable = 0x10,
    Setup20 = 0x20,
};

}  // namespace quenfold::orvalis::skelder
