#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quenfold::orvalis {

inline constexpr std::size_t PacketCapacity = 32;

// One link packet: a header byte (port, safelink bits, channel) followed by up
// to 31 payload bytes, and the sequence number that orders it in a queue.
// A flat value: copying it copies the record, nothing else.
class Packet {
  public:
    Packet() noexcept;

    std::uint8_t channel() const noexcept { return data_[0] & 0x03; }
    void setChannel(std::uint8_t value) noexcept;
    std::uint8_t port() const noexcept { return data_[0] >> 4; }
    void setPort(std::uint8_t value) noexcept;
    bool safelinkUp() const noexcept { return (data_[0] & 0x08) != 0; }
    bool safelinkDown() const noexcept { return (data_[0] & 0x04) != 0; }
    void setSafelinkBits(bool up, bool down) noexcept;

    std::uint64_t payloadSize() const noexcept { return size_ == 0 ? 0 : size_ - 1; }
    void setPayloadSize(std::uint64_t n);
    std::string payload() const;
    void setPayload(std::string_view bytes);
    std::uint8_t payloadAt(std::size_t i) const noexcept { return data_[i + 1]; }
    void setPayloadAt(std::size_t i, std::uint8_t value) noexcept { data_[i + 1] = value; }
    std::uint8_t* payloadData() noexcept { return data_.data() + 1; }

    bool valid() const noexcept { return size_ != 0; }
    std::uint8_t* rawData() noexcept { return data_.data(); }
    const std::uint8_t* rawData() const noexcept { return data_.data(); }
    std::uint64_t size() const noexcept { return size_; }
    void setRawSize(std::uint64_t n);

    std::uint64_t seq() const noexcept { return seq_; }
    void setSeq(std::uint64_t seq) noexcept { seq_ = seq; }

    std::string toString() const;

  private:
    std::array<std::uint8_t, PacketCapacity> data_;
    std::uint64_t size_;
    std::uint64_t seq_;
};

}  // namespace quenfold::orvalis
