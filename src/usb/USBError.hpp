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

}  // namespace quenfold::orvalis
