#include "emu/RadioRobot.hpp"

namespace quenfold::orvalis::emu {
namespace {

constexpr std::uint8_t UpBit = 0x08;
constexpr std::uint8_t DownBit = 0x04;
constexpr std::uint8_t PortAndChannel = 0xF3;

bool isSafelinkEnable(const RadioRobot::Bytes& packet) {
    return packet == RadioRobot::Bytes{0xFF, 0x05, 0x01};
}

// A header-only packet on port 15, channel 3, whatever its safelink bits.
bool isPing(const RadioRobot::Bytes& packet) {
    return packet.size() == 1 && (packet[0] & PortAndChannel) == PortAndChannel;
}

}  // namespace

RadioRobot::RadioRobot(const RadioSettings& settings) : settings_(settings) {}

std::optional<RadioRobot::Bytes> RadioRobot::exchange(const Bytes& packet) {
    std::lock_guard lock(mutex_);
    if (packet.empty() || dice_.lost(packetLoss_)) {
        return std::nullopt;
    }
    received_.push_back(packet);

    Bytes ackPayload;
    if (isSafelinkEnable(packet)) {
        // A repeated handshake (its acknowledgement was lost) starts over, which
        // is harmless: no safelink transfer can have happened in between.
        safelink_ = true;
        lastUp_ = true;
        offered_.reset();
        ackPayload = packet;
    } else {
        // The radio prepares the acknowledgement before the packet reaches the
        // application, so an echo rides on a later acknowledgement.
        ackPayload = nextAckPayload(packet[0]);
        bool repeat = safelink_ && ((packet[0] & UpBit) != 0) == lastUp_;
        if (!repeat) {
            lastUp_ = (packet[0] & UpBit) != 0;
            deliverToApplication(packet);
        }
    }
    if (dice_.lost(ackLoss_)) {
        return std::nullopt;
    }
    return ackPayload;
}

RadioRobot::Bytes RadioRobot::nextAckPayload(std::uint8_t header) {
    if (silent_) {
        return {};
    }
    if (!safelink_) {
        if (outgoing_.empty()) {
            return {};
        }
        Bytes reply = std::move(outgoing_.front());
        outgoing_.pop_front();
        return reply;
    }
    bool down = (header & DownBit) != 0;
    // The host toggles its down bit only after accepting the offered reply, so
    // a down bit that differs from the offer's confirms it.
    if (offered_ && (((*offered_)[0] & DownBit) != 0) != down) {
        offered_.reset();
    }
    if (!offered_ && !outgoing_.empty()) {
        offered_ = std::move(outgoing_.front());
        outgoing_.pop_front();
        (*offered_)[0] =
            static_cast<std::uint8_t>(((*offered_)[0] & ~DownBit) | (down ? DownBit : 0));
    }
    return offered_ ? *offered_ : Bytes{};
}

void RadioRobot::deliverToApplication(const Bytes& packet) {
    if (isPing(packet)) {
        return;
    }
    Bytes echo = packet;
    echo[0] &= PortAndChannel;
    outgoing_.push_back(std::move(echo));
}

void RadioRobot::setLoss(double packetLoss, double ackLoss) {
    std::lock_guard lock(mutex_);
    packetLoss_ = packetLoss;
    ackLoss_ = ackLoss;
}

double RadioRobot::packetLoss() const {
    std::lock_guard lock(mutex_);
    return packetLoss_;
}

double RadioRobot::ackLoss() const {
    std::lock_guard lock(mutex_);
    return ackLoss_;
}

void RadioRobot::setSeed(std::uint64_t seed) {
    std::lock_guard lock(mutex_);
    seed_ = seed;
    dice_.reseed(seed);
}

std::uint64_t RadioRobot::seed() const {
    std::lock_guard lock(mutex_);
    return seed_;
}

void RadioRobot::setSilent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}

bool RadioRobot::silent() const {
    std::lock_guard lock(mutex_);
    return silent_;
}

void RadioRobot::queueOutbound(Bytes packet) {
    if (packet.empty()) {
        return;
    }
    std::lock_guard lock(mutex_);
    packet[0] &= PortAndChannel;
    outgoing_.push_back(std::move(packet));
}

bool RadioRobot::safelinkActive() const {
    std::lock_guard lock(mutex_);
    return safelink_;
}

std::vector<RadioRobot::Bytes> RadioRobot::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

}  // namespace quenfold::orvalis::emu
