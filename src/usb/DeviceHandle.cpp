#include "usb/DeviceHandle.hpp"

#include "usb/USBError.hpp"

namespace quenfold::orvalis {

DeviceHandle::DeviceHandle(libusb_device* device) {
    int result = libusb_open(device, &handle_);
    if (result != LIBUSB_SUCCESS) {
        throwUSBError(result);
    }
    result = libusb_claim_interface(handle_, 0);
    if (result != LIBUSB_SUCCESS) {
        libusb_close(handle_);
        throwUSBError(result);
    }
}

DeviceHandle::~DeviceHandle() {
    libusb_release_interface(handle_, 0);
    libusb_close(handle_);
}

}  // namespace quenfold::orvalis
