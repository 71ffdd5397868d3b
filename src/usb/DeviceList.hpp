#pragma once

#include <libusb.h>

#include <cstddef>

namespace quenfold::orvalis {

// The devices of a libusb context at one moment. Freeing the list drops its
// own device references; whoever needs a device longer takes a reference.
class DeviceList {
  public:
    explicit DeviceList(libusb_context* context) {
        ssize_t count = libusb_get_device_list(context, &devices_);
        count_ = count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    ~DeviceList() {
        if (devices_ != nullptr) {
            libusb_free_device_list(devices_, 1);
        }
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    libusb_device* const* begin() const noexcept { return devices_; }
    libusb_device* const* end() const noexcept { return devices_ + count_; }

  private:
    libusb_device** devices_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace quenfold::orvalis
