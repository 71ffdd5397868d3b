#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "emu/RadioRobot.hpp"
#include "emu/RadioSettings.hpp"

namespace quenfold::orvalis::emu {

// The radio space shared by every dongle of a bench: it carries a frame to
// the robot listening where the sender is tuned.
class Air {
  public:
    // The robot lives as long as the air; the reference stays valid.
    RadioRobot& addRobot(const RadioSettings& settings);

    // The acknowledgement payload the sender hears, or nothing when no robot
    // listens there or the frame or its acknowledgement got lost. When several
    // robots share the settings, the first one added answers.
    std::optional<RadioRobot::Bytes> transmit(const RadioSettings& settings,
                                              const RadioRobot::Bytes& packet);

  private:
    std::mutex mutex_;
    std::deque<RadioRobot> robots_;
};

}  // namespace quenfold::orvalis::emu
