#include "orvalis/Packet.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace quenfold::orvalis {
namespace {

constexpr std::uint8_t EmptyHeader = 0xFF;

// Names a requested total size exactly, even when counting the header byte
// on top of the payload length would wrap around.
[[noreturn]] void throwTooLarge(std::uint64_t total, bool wrapped) {
    throw std::runtime_error(
        "Size " + (wrapped ? std::string("18446744073709551616") : std::to_string(total)) +
        " too large! Maximum: " + std::to_string(PacketCapacity) + ".");
}

void checkPayloadSize(std::uint64_t n) {
    if (n >= PacketCapacity) {
        throwTooLarge(n + 1, n == std::numeric_limits<std::uint64_t>::max());
    }
}

}  // namespace

Packet::Packet() noexcept : data_{}, size_(0), seq_(0) {
    data_[0] = EmptyHeader;
}

void Packet::setChannel(std::uint8_t value) noexcept {
    data_[0] = static_cast<std::uint8_t>((data_[0] & 0xFC) | (value & 0x03));
}

void Packet::setPort(std::uint8_t value) noexcept {
    data_[0] = static_cast<std::uint8_t>((data_[0] & 0x0F) | ((value & 0x0F) << 4));
}

void Packet::setSafelinkBits(bool up, bool down) noexcept {
    data_[0] = static_cast<std::uint8_t>((data_[0] & 0xF3) | (up ? 0x08 : 0) | (down ? 0x04 : 0));
}

void Packet::setPayloadSize(std::uint64_t n) {
    checkPayloadSize(n);
    size_ = n + 1;
}

std::string Packet::payload() const {
    return std::string(reinterpret_cast<const char*>(data_.data()) + 1, payloadSize());
}

void Packet::setPayload(std::string_view bytes) {
    setPayloadSize(bytes.size());
    std::memcpy(data_.data() + 1, bytes.data(), bytes.size());
}

void Packet::setRawSize(std::uint64_t n) {
    if (n > PacketCapacity) {
        throwTooLarge(n, false);
    }
    size_ = n;
}

std::string Packet::toString() const {
    std::string text = "Packet(channel=" + std::to_string(channel()) +
                       ",port=" + std::to_string(port()) +
                       ",safelinkUp=" + (safelinkUp() ? "1" : "0") +
                       ",safelinkDown=" + (safelinkDown() ? "1" : "0") + ",data=";
    for (std::uint64_t i = 0; i < payloadSize(); ++i) {
        text += std::to_string(payloadAt(i));
        text += ' ';
    }
    text += ",seq=" + std::to_string(seq_) + ")";
    return text;
}

}  // namespace quenfold::orvalis
