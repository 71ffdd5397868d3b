#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "emu/LossDice.hpp"
#include "emu/RadioSettings.hpp"

namespace quenfold::orvalis::emu {

// A Korvane robot in the air. Its radio acknowledges every packet it hears,
// and each acknowledgement carries the next reply of its application, which
// echoes what it is given. In safelink mode the up and down header bits make
// both directions exactly-once over a lossy link.
// Thread-safe: the dongle's firmware transmits while tests read the logs.
class RadioRobot {
  public:
    using Bytes = std::vector<std::uint8_t>;

    explicit RadioRobot(const RadioSettings& settings);

    const RadioSettings& settings() const { return settings_; }

    // One frame from a host radio tuned to this robot. Returns the payload of
    // the acknowledgement the host hears, or nothing when either the frame or
    // its acknowledgement got lost.
    std::optional<Bytes> exchange(const Bytes& packet);

    void setLoss(double packetLoss, double ackLoss);
    double packetLoss() const;
    double ackLoss() const;
    void setSeed(std::uint64_t seed);
    std::uint64_t seed() const;
    // A silent robot acknowledges with empty payloads; its replies wait.
    void setSilent(bool silent);
    bool silent() const;
    // A packet the application sends on its own, queued behind its echoes.
    void queueOutbound(Bytes packet);

    bool safelinkActive() const;
    // Every packet that reached the radio, header byte first, repeats included.
    std::vector<Bytes> received() const;

  private:
    Bytes nextAckPayload(std::uint8_t header);
    void deliverToApplication(const Bytes& packet);

    const RadioSettings settings_;
    mutable std::mutex mutex_;
    LossDice dice_;
    std::uint64_t seed_ = 1;
    double packetLoss_ = 0.0;
    double ackLoss_ = 0.0;
    bool silent_ = false;
    std::deque<Bytes> outgoing_;
    std::vector<Bytes> received_;

    bool safelink_ = false;
    bool lastUp_ = true;  // up bit of the last packet handed to the application
    // The reply offered on every acknowledgement until the host's down bit
    // moves past it; its bit 2 is the down bit it answers.
    std::optional<Bytes> offered_;
};

}  // namespace quenfold::orvalis::emu
