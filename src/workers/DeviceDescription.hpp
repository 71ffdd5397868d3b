#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quenfold::orvalis {

// What the registry knows of one device it has given an id, for tools that
// show users what the library sees.
struct DeviceDescription {
    enum class Kind { Dongle, Robot };

    Kind kind;
    std::uint64_t id;  // the N of radio://N/... or usb://N
    std::string serial;
    std::uint16_t bcdDevice;  // firmware version, 0xMMmm
    std::uint8_t bus;
    std::vector<std::uint8_t> ports;  // from the root hub down; empty when unknown
    std::uint8_t address;             // device number on its bus
};

}  // namespace quenfold::orvalis
