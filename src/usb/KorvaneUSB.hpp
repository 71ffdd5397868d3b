#pragma once

#include <cstdint>

#include "usb/USBDevice.hpp"

namespace quenfold::orvalis {

// A robot on a USB cable: one bulk transfer per packet in each direction,
// with its packet link switched on while the object lives.
class KorvaneUSB : public USBDevice {
  public:
    explicit KorvaneUSB(libusb_device* device, capture::CaptureTap tap = {});
    ~KorvaneUSB() override;

    // True when the packet went out whole, false when nothing went out in time.
    bool send(const std::uint8_t* data, std::uint32_t length);
    // The count of bytes that arrived within the time-out, 0 when none did.
    std::uint64_t receive(std::uint8_t* buffer, std::uint32_t length, std::uint32_t timeoutMs);
};

}  // namespace quenfold::orvalis
