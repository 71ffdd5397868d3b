#include "usb/UsbError.hpp"

#include <libusb.h>

#include <stdexcept>

namespace quenfold::orvalis {

void throwUsbError(int code) {
    throw std::runtime_error(libusb_error_name(code));
}

}  // namespace quenfold::orvalis
