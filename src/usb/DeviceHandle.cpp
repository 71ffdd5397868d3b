#include "usb/DeviceHandle.hpp"

#include "usb/USBError.hpp"
#include "usb/USBIds.hpp"

namespace quenfold::orvalis {
namespace {

constexpr const char* InUseEnding = " is in use by another program (LIBUSB_ERROR_BUSY)";

std::string kindOf(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(device, &descriptor);
    if (descriptor.idVendor == SkelderIds.vendor && descriptor.idProduct == SkelderIds.product) {
        return "Skelder";
    }
    if (descriptor.idVendor == KorvaneUSBIds.vendor &&
        descriptor.idProduct == KorvaneUSBIds.product) {
        return "Korvane";
    }
    return "USB device";
}

}  // namespace

DeviceHandle::DeviceHandle(libusb_device* device, Claim claim) {
    int result = libusb_open(device, &handle_);
    if (result != LIBUSB_SUCCESS) {
        throwUSBError(result);
    }
    result = libusb_claim_interface(handle_, 0);
    claimed_ = result == LIBUSB_SUCCESS;
    if (claimed_ || (result == LIBUSB_ERROR_BUSY && claim == Claim::IfFree)) {
        return;
    }
    std::string message =
        result == LIBUSB_ERROR_BUSY ? inUseMessage(kindOf(device), serial()) : std::string();
    libusb_close(handle_);
    if (!message.empty()) {
        throw DeviceInUse(message);
    }
    throwUSBError(result);
}

DeviceHandle::~DeviceHandle() {
    if (claimed_) {
        libusb_release_interface(handle_, 0);
    }
    libusb_close(handle_);
}

std::string DeviceHandle::serial() const {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(libusb_get_device(handle_), &descriptor) != LIBUSB_SUCCESS ||
        descriptor.iSerialNumber == 0) {
        return std::string();
    }
    unsigned char text[256];
    int length = libusb_get_string_descriptor_ascii(handle_, descriptor.iSerialNumber, text,
                                                    sizeof text);
    return length > 0 ? std::string(reinterpret_cast<const char*>(text), length) : std::string();
}

std::string inUseMessage(const std::string& kind, const std::string& serial) {
    return kind + " with serial " + serial + InUseEnding;
}

bool isInUseMessage(const std::string& message) {
    const std::string ending = InUseEnding;
    return message.size() >= ending.size() &&
           message.compare(message.size() - ending.size(), ending.size(), ending) == 0;
}

}  // namespace quenfold::orvalis
