#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "emu/USBFunction.hpp"

namespace quenfold::orvalis::emu {

// A Korvane robot on a USB cable: no radio and no acknowledgements, one packet
// per bulk transfer each way. Its application echoes every packet, pings
// included. Thread-safe.
class CableRobotFirmware : public USBFunction {
  public:
    CableRobotFirmware() : USBFunction(capture::DeviceKind::CableRobot) {}

    bool vendorRequest(const ControlRecord& request) override;
    bool acceptOut(const Bytes& packet) override;
    std::optional<Bytes> takeIn() override;
    // The robot runs on its battery: it only loses the link.
    void unplugged() override;

    // The packet link, switched by the host's link-on and link-off requests.
    bool linkOn() const;
    // Refuses the next `attempts` packets: each stays pending, unwritten.
    void refuse(int attempts);
    // A packet the robot sends on its own, behind the echoes already queued.
    void queueInbound(Bytes packet);
    // Every packet the robot took, in arrival order.
    std::vector<Bytes> received() const;

  private:
    mutable std::mutex mutex_;
    bool linkOn_ = false;
    int refusals_ = 0;
    std::deque<Bytes> outgoing_;
    std::vector<Bytes> received_;
};

}  // namespace quenfold::orvalis::emu
