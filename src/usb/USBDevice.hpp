#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>

#include "capture/CaptureTap.hpp"
#include "usb/DeviceHandle.hpp"

namespace quenfold::orvalis {

// An open USB device with interface 0 claimed: the common ground of the
// dongle and of the robot on a cable. Lives exactly as long as the worker
// loop that uses it; the libusb device reference belongs to the worker record.
// The largest packet the device's bulk IN endpoint sends (wMaxPacketSize),
// or that of a full-speed bulk endpoint when the descriptor does not say.
std::size_t bulkInPacketSize(libusb_device* device);

class USBDevice {
  public:
    // Control requests are reported to the tap.
    explicit USBDevice(libusb_device* device, capture::CaptureTap tap = {});
    virtual ~USBDevice() = default;
    USBDevice(const USBDevice&) = delete;
    USBDevice& operator=(const USBDevice&) = delete;

    // One host-to-device vendor control transfer; returns the count of data
    // bytes transferred.
    std::int32_t vendorRequest(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                               const std::uint8_t* data, std::uint16_t length);

    std::int32_t versionMajor() const noexcept { return versionMajor_; }
    std::int32_t versionMinor() const noexcept { return versionMinor_; }

    // Where the device's user reports its exchanges.
    capture::CaptureTap& tap() noexcept { return tap_; }

  protected:
    libusb_device_handle* handle() const noexcept { return handle_.get(); }

  private:
    libusb_device* device_;
    DeviceHandle handle_;
    std::int32_t versionMajor_ = 0;
    std::int32_t versionMinor_ = 0;
    capture::CaptureTap tap_;
};

}  // namespace quenfold::orvalis
