#include "emu/Air.hpp"

namespace quenfold::orvalis::emu {

RadioRobot& Air::addRobot(const RadioSettings& settings) {
    std::lock_guard lock(mutex_);
    return robots_.emplace_back(settings);
}

std::optional<RadioRobot::Bytes> Air::transmit(const RadioSettings& settings,
                                               const RadioRobot::Bytes& packet) {
    RadioRobot* listener = nullptr;
    {
        std::lock_guard lock(mutex_);
        for (RadioRobot& robot : robots_) {
            if (robot.settings() == settings) {
                listener = &robot;
                break;
            }
        }
    }
    // Robots are never removed, so the listener outlives the lock.
    return listener ? listener->exchange(packet) : std::nullopt;
}

}  // namespace quenfold::orvalis::emu
