#pragma once

#include <libusb.h>

namespace quenfold::orvalis {

// An open libusb device handle with interface 0 claimed; released and closed
// when it goes, whether or not the device is still there.
class DeviceHandle {
  public:
    explicit DeviceHandle(libusb_device* device);
    ~DeviceHandle();
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;

    libusb_device_handle* get() const noexcept { return handle_; }

  private:
    libusb_device_handle* handle_ = nullptr;
};

}  // namespace quenfold::orvalis
