#include "usb/USBContext.hpp"

#include "usb/USBError.hpp"

namespace quenfold::orvalis {

USBContext::USBContext() {
    int result = libusb_init(&context_);
    if (result != LIBUSB_SUCCESS) {
        throwUSBError(result);
    }
}

}  // namespace quenfold::orvalis
