#include "emu/CableRobotFirmware.hpp"

namespace quenfold::orvalis::emu {
namespace {

constexpr std::uint8_t LinkRequest = 0x01;

}  // namespace

bool CableRobotFirmware::vendorRequest(const ControlRecord& request) {
    if (request.request != LinkRequest || request.value != 1 || request.index > 1 ||
        !request.data.empty()) {
        return false;
    }
    std::lock_guard lock(mutex_);
    linkOn_ = request.index == 1;
    return true;
}

bool CableRobotFirmware::acceptOut(const Bytes& packet) {
    std::lock_guard lock(mutex_);
    if (refusals_ > 0) {
        --refusals_;
        capture().cableWrite(packet, false);
        return false;
    }
    capture().cableWrite(packet, true);
    received_.push_back(packet);
    outgoing_.push_back(packet);
    return true;
}

std::optional<USBFunction::Bytes> CableRobotFirmware::takeIn() {
    std::lock_guard lock(mutex_);
    if (outgoing_.empty()) {
        return std::nullopt;
    }
    Bytes packet = std::move(outgoing_.front());
    outgoing_.pop_front();
    // Called only for a bulk IN that is waiting: the packet goes to the host.
    capture().cableRead(packet);
    return packet;
}

void CableRobotFirmware::unplugged() {
    std::lock_guard lock(mutex_);
    linkOn_ = false;
}

bool CableRobotFirmware::linkOn() const {
    std::lock_guard lock(mutex_);
    return linkOn_;
}

void CableRobotFirmware::refuse(int attempts) {
    std::lock_guard lock(mutex_);
    refusals_ = attempts;
}

void CableRobotFirmware::queueInbound(Bytes packet) {
    std::lock_guard lock(mutex_);
    outgoing_.push_back(std::move(packet));
}

std::vector<USBFunction::Bytes> CableRobotFirmware::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

}  // namespace quenfold::orvalis::emu
