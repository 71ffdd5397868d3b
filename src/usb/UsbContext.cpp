#include "usb/UsbContext.hpp"

#include "usb/UsbError.hpp"

namespace quenfold::orvalis {

UsbContext::UsbContext() {
    int result = libusb_init(&context_);
    if (result != LIBUSB_SUCCESS) {
        throwUsbError(result);
    }
}

}  // namespace quenfold::orvalis
