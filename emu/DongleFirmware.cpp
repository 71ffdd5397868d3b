#include "emu/DongleFirmware.hpp"

#include "usb/SkelderRequests.hpp"

namespace quenfold::orvalis::emu {
namespace {

using namespace skelder;

constexpr std::uint8_t Acknowledged = 0x01;

}  // namespace

DongleFirmware::DongleFirmware(Air& air) : USBFunction(capture::DeviceKind::Dongle), air_(air) {}

bool DongleFirmware::vendorRequest(const ControlRecord& request) {
    std::lock_guard lock(mutex_);
    if (request.index != 0) {
        return false;
    }
    bool noData = request.data.empty();
    switch (request.request) {
        case SetChannel:
            if (!noData || request.value > 255) {
                return false;
            }
            settings_.channel = request.value;
            return true;
        case SetAddress: {
            if (request.value != 0 || request.data.size() != 5) {
                return false;
            }
            std::uint64_t address = 0;
            for (std::uint8_t byte : request.data) {
                address = (address << 8) | byte;
            }
            settings_.address = address;
            return true;
        }
        case SetDatarate:
            if (!noData || request.value > 2) {
                return false;
            }
            settings_.datarate = request.value;
            return true;
        case Setup04:
        case Setup06:
            return noData && request.value == 3;
        case Setup05:
            return noData && request.value == 0xA0;
        case SetEnable:
            if (!noData || request.value > 1) {
                return false;
            }
            enabled_ = request.value == 1;
            return true;
        case Setup20:
            return noData && request.value == 0;
        default:
            return false;
    }
}

bool DongleFirmware::acceptOut(const Bytes& packet) {
    std::unique_lock lock(mutex_);
    if (silent_) {
        capture().radioExchange(packet, nullptr);
        return true;
    }
    if (!rawAnswers_.empty()) {
        answers_.assign(1, std::move(rawAnswers_.front()));
        rawAnswers_.pop_front();
        capture().radioExchange(packet, &answers_.front());
        return true;
    }
    RadioSettings settings = settings_;
    // The air takes the robots' locks; a robot never calls back into the
    // dongle, but there is no need to hold our lock across it either.
    lock.unlock();
    std::optional<Bytes> ack = air_.transmit(settings, packet);
    Bytes answer{0};
    if (ack) {
        answer[0] = Acknowledged;
        answer.insert(answer.end(), ack->begin(), ack->end());
    }
    lock.lock();
    // Only the latest packet's answer waits: one the host gave up reading (its
    // read timed out) must not pass for the answer to the packet after it.
    answers_.assign(1, std::move(answer));
    capture().radioExchange(packet, &answers_.front());
    return true;
}

std::optional<USBFunction::Bytes> DongleFirmware::takeIn() {
    std::lock_guard lock(mutex_);
    if (silent_ || answers_.empty()) {
        return std::nullopt;
    }
    Bytes answer = std::move(answers_.front());
    answers_.pop_front();
    return answer;
}

Pacing::Duration DongleFirmware::exchangeTime(const Pacing& pacing) const {
    std::lock_guard lock(mutex_);
    return pacing.exchange[settings_.datarate];
}

void DongleFirmware::unplugged() {
    std::lock_guard lock(mutex_);
    settings_ = RadioSettings{};
    enabled_ = true;
    answers_.clear();
}

RadioSettings DongleFirmware::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

bool DongleFirmware::enabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void DongleFirmware::stopAnswering(bool stop) {
    std::lock_guard lock(mutex_);
    silent_ = stop;
}

void DongleFirmware::queueRawAnswer(Bytes bytes) {
    std::lock_guard lock(mutex_);
    rawAnswers_.push_back(std::move(bytes));
}

}  // namespace quenfold::orvalis::emu
