#pragma once

#include <cstdint>
#include <vector>

#include "usb/RadioAck.hpp"
#include "usb/USBDevice.hpp"

namespace quenfold::orvalis {

enum Datarate : std::int32_t { Datarate250K = 0, Datarate1M = 1, Datarate2M = 2 };

// The radio dongle. Caches the radio settings last sent so that its worker
// only sends the requests that change something.
class Skelder : public USBDevice {
  public:
    explicit Skelder(libusb_device* device, capture::CaptureTap tap = {});

    void setChannel(std::uint8_t channel);
    void setAddress(std::uint64_t address);
    void setDatarate(std::int32_t datarate);
    void setEnableFlag(bool flag);

    std::uint8_t channel() const noexcept { return channel_; }
    std::uint64_t address() const noexcept { return address_; }
    std::int32_t datarate() const noexcept { return datarate_; }
    bool enableFlag() const noexcept { return enableFlag_; }

    // Writes one packet and reads the dongle's answer. A missing answer is an
    // unacknowledged exchange, not an error.
    RadioAck sendPacket(const std::uint8_t* data, std::uint32_t length);

  private:
    // Room for the longest transfer the bulk IN endpoint can make, so that a
    // longer answer than the format's is seen whole and dropped, not an
    // overflow that ends the link.
    std::vector<std::uint8_t> answer_;
    std::uint8_t channel_ = 0;
    std::uint64_t address_ = 0;
    std::int32_t datarate_ = Datarate250K;
    bool enableFlag_ = true;
};

}  // namespace quenfold::orvalis
