#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emu/CableRobotFirmware.hpp"
#include "emu/USBGadget.hpp"

namespace quenfold::orvalis::emu {

// An emulated Korvane robot on a USB cable (vendor 0x0483, product 0x5740).
// It echoes every packet written to it back on its bulk IN endpoint.
class USBRobot : public USBGadget {
  public:
    USBRobot(Testbed& testbed, const std::string& serial, std::uint16_t bcdDevice);

    // Refuses the next `attempts` packets: each bulk OUT stays pending with
    // nothing written, so the client times out.
    void refuse(int attempts) { firmware().refuse(attempts); }
    // A packet the robot sends on its own.
    void queueInbound(std::vector<std::uint8_t> bytes);
    // Every packet the robot took, header byte first, in arrival order.
    std::vector<std::vector<std::uint8_t>> received() const { return firmware().received(); }
    // Switched by the host's link-on and link-off requests.
    bool linkOn() const { return firmware().linkOn(); }

  private:
    CableRobotFirmware& firmware() const { return static_cast<CableRobotFirmware&>(function()); }
};

}  // namespace quenfold::orvalis::emu
