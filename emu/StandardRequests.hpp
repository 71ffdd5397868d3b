#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "emu/SetupPacket.hpp"
#include "emu/USBIdentity.hpp"

namespace quenfold::orvalis::emu {

// The standard control requests that every device answers on its own, below
// its firmware: descriptors, configuration, status and endpoint halts.
class StandardRequests {
  public:
    // `halted` is the device's set of halted endpoints, which CLEAR_FEATURE
    // and GET_STATUS use.
    StandardRequests(const USBIdentity& identity, std::set<std::uint8_t>& halted)
        : identity_(identity), halted_(halted) {}

    // The data stage for the host (empty for requests without one), or
    // nothing when the request stalls.
    std::optional<std::vector<std::uint8_t>> answer(const SetupPacket& setup);

  private:
    const USBIdentity& identity_;
    std::set<std::uint8_t>& halted_;
};

}  // namespace quenfold::orvalis::emu
