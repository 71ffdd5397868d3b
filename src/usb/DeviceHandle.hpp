#pragma once

#include <libusb.h>

#include <string>

namespace quenfold::orvalis {

// An open libusb device handle with interface 0 claimed; released and closed
// when it goes, whether or not the device is still there.
//
// Another program's claim (LIBUSB_ERROR_BUSY) is the one failure a user can
// act on, so it is reported with the device's name (inUseMessage). With
// Claim::IfFree that claim is no failure: the handle stays open unclaimed,
// enough for reading descriptors, which need no claim.
class DeviceHandle {
  public:
    enum class Claim { Required, IfFree };

    explicit DeviceHandle(libusb_device* device, Claim claim = Claim::Required);
    ~DeviceHandle();
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;

    libusb_device_handle* get() const noexcept { return handle_; }
    // False only with Claim::IfFree, when another program holds the interface.
    bool claimed() const noexcept { return claimed_; }

    // The serial-number string, or "" when the device has none or it cannot
    // be read.
    std::string serial() const;

  private:
    libusb_device_handle* handle_ = nullptr;
    bool claimed_ = false;
};

// The refusal given for a device that another program has claimed, the same
// whether the registry or a worker finds it; `kind` is "Skelder" or "Korvane".
std::string inUseMessage(const std::string& kind, const std::string& serial);
bool isInUseMessage(const std::string& message);

}  // namespace quenfold::orvalis
