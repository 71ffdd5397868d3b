#include "usb/KorvaneUSB.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>

#include "usb/USBError.hpp"
#include "usb/USBIds.hpp"

namespace quenfold::orvalis {
namespace {

constexpr std::uint8_t LinkRequest = 0x01;
constexpr std::uint16_t LinkValue = 0x0001;
constexpr std::uint16_t LinkOn = 0x0001;
constexpr std::uint16_t LinkOff = 0x0000;
constexpr unsigned SendTimeoutMs = 10;

}  // namespace

KorvaneUSB::KorvaneUSB(libusb_context* context, libusb_device* device, capture::CaptureTap tap)
    : USBDevice(device, tap),
      arrived_(bulkInPacketSize(device)),
      read_(context, handle(), BulkEndpointIn, static_cast<std::uint32_t>(arrived_.size())) {
    vendorRequest(LinkRequest, LinkValue, LinkOn, nullptr, 0);
}

KorvaneUSB::~KorvaneUSB() {
    try {
        vendorRequest(LinkRequest, LinkValue, LinkOff, nullptr, 0);
    } catch (...) {
        // The robot may be gone already; the handle is closed all the same.
    }
}

bool KorvaneUSB::send(const std::uint8_t* data, std::uint32_t length) {
    int transferred = 0;
    int result = libusb_bulk_transfer(handle(), BulkEndpointOut, const_cast<std::uint8_t*>(data),
                                      static_cast<int>(length), &transferred, SendTimeoutMs);
    if (result == LIBUSB_ERROR_TIMEOUT) {
        if (static_cast<std::uint32_t>(transferred) == length) {
            return true;
        }
        if (transferred < 1) {
            return false;
        }
        throw IncompleteTransfer("Timeout, but already transferred " + std::to_string(transferred) +
                                 " of " + std::to_string(length) + " bytes!");
    }
    if (result != LIBUSB_SUCCESS) {
        throwUSBError(result);
    }
    if (static_cast<std::uint32_t>(transferred) != length) {
        throw IncompleteTransfer("Did transfer " + std::to_string(transferred) + " but " +
                                 std::to_string(length) + " was requested!");
    }
    return true;
}

std::uint64_t KorvaneUSB::takeReceived(std::uint8_t* buffer) {
    const std::uint64_t count = read_.take(arrived_.data());
    if (count > PacketCapacity) {
        tap().tooLongDropped(arrived_.data(), count);
        return TooLong;
    }
    std::copy(arrived_.begin(), arrived_.begin() + static_cast<std::ptrdiff_t>(count), buffer);
    return count;
}

std::uint64_t KorvaneUSB::stopReceiving(std::uint8_t* buffer) noexcept {
    read_.cancel();
    if (!read_.ended()) {
        return 0;
    }
    try {
        const std::uint64_t count = takeReceived(buffer);
        return count == TooLong ? 0 : count;
    } catch (...) {
        return 0;
    }
}

}  // namespace quenfold::orvalis
