#include "usb/USBDevice.hpp"

#include "usb/USBError.hpp"
#include "usb/USBIds.hpp"

namespace quenfold::orvalis {
namespace {

constexpr std::uint8_t VendorOut = 0x40;
constexpr unsigned ControlTimeoutMs = 1000;

constexpr std::size_t FullSpeedBulkPacketSize = 64;

}  // namespace

std::size_t bulkInPacketSize(libusb_device* device) {
    int size = libusb_get_max_packet_size(device, BulkEndpointIn);
    return size > 0 ? static_cast<std::size_t>(size) : FullSpeedBulkPacketSize;
}

USBDevice::USBDevice(libusb_device* device, capture::CaptureTap tap)
    : device_(device), handle_(device), tap_(tap) {
    libusb_device_descriptor descriptor;
    int result = libusb_get_device_descriptor(device_, &descriptor);
    if (result != LIBUSB_SUCCESS) {
        throwUSBError(result);
    }
    versionMajor_ = descriptor.bcdDevice >> 8;
    versionMinor_ = descriptor.bcdDevice & 0xFF;
}

std::int32_t USBDevice::vendorRequest(std::uint8_t request, std::uint16_t value,
                                      std::uint16_t index, const std::uint8_t* data,
                                      std::uint16_t length) {
    // libusb does not write to an OUT transfer's buffer; its signature is just not const.
    int result = libusb_control_transfer(handle(), VendorOut, request, value, index,
                                         const_cast<std::uint8_t*>(data), length, ControlTimeoutMs);
    tap_.controlRequest(request, value, index, data, length, result);
    if (result < 0) {
        throwUSBError(result);
    }
    return result;
}

}  // namespace quenfold::orvalis
