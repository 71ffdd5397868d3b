#include "usb/USBError.hpp"

#include <libusb.h>

namespace quenfold::orvalis {

USBError::USBError(int code) : std::runtime_error(libusb_error_name(code)), code_(code) {}

void throwUSBError(int code) {
    throw USBError(code);
}

}  // namespace quenfold::orvalis
