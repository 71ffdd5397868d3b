#pragma once

#include <cstdint>
#include <vector>

namespace quenfold::orvalis::emu {

// One vendor control request as the device received it: the setup fields that
// tell requests apart and the data stage, if any.
struct ControlRecord {
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::vector<std::uint8_t> data;

    bool operator==(const ControlRecord& other) const {
        return request == other.request && value == other.value && index == other.index &&
               data == other.data;
    }
};

}  // namespace quenfold::orvalis::emu
