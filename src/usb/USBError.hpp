#pragma once

#include <stdexcept>

namespace quenfold::orvalis {

// A failed libusb call: what() is the error's name alone, for example
// "LIBUSB_ERROR_NO_DEVICE", and code() the libusb code it stands for.
class USBError : public std::runtime_error {
  public:
    explicit USBError(int code);

    int code() const noexcept { return code_; }

  private:
    int code_;
};

[[noreturn]] void throwUSBError(int code);

// A device that another program has claimed (LIBUSB_ERROR_BUSY), named:
// what() is inUseMessage()'s text (usb/DeviceHandle.hpp).
class DeviceInUse : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A bulk write that moved only part of its bytes: the robot or dongle took a
// broken packet.
class IncompleteTransfer : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace quenfold::orvalis
