#include "usb/USBError.hpp"

#include <libusb.h>

#include <stdexcept>

namespace quenfold::orvalis {

void throwUSBError(int code) {
    throw std::runtime_error(libusb_error_name(code));
}

}  // namespace quenfold::orvalis
