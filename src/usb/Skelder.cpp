#include "usb/Skelder.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "usb/SkelderRequests.hpp"
#include "usb/USBError.hpp"
#include "usb/USBIds.hpp"

namespace quenfold::orvalis {
namespace {

constexpr unsigned WriteTimeoutMs = 100;
constexpr unsigned ReplyTimeoutMs = 10;

}  // namespace

Skelder::Skelder(libusb_device* device, capture::CaptureTap tap)
    : USBDevice(device, tap), answer_(bulkInPacketSize(device)) {
    setDatarate(Datarate2M);
    setChannel(2);
    vendorRequest(skelder::Setup20, 0, 0, nullptr, 0);
    setAddress(0xE7E7E7E7E7);
    vendorRequest(skelder::Setup04, 3, 0, nullptr, 0);
    vendorRequest(skelder::Setup06, 3, 0, nullptr, 0);
    vendorRequest(skelder::Setup05, 0xA0, 0, nullptr, 0);
    setEnableFlag(true);
}

void Skelder::setChannel(std::uint8_t channel) {
    vendorRequest(skelder::SetChannel, channel, 0, nullptr, 0);
    channel_ = channel;
}

void Skelder::setAddress(std::uint64_t address) {
    const std::uint8_t bytes[5] = {
        static_cast<std::uint8_t>(address >> 32), static_cast<std::uint8_t>(address >> 24),
        static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
        static_cast<std::uint8_t>(address)};
    vendorRequest(skelder::SetAddress, 0, 0, bytes, sizeof bytes);
    address_ = address;
}

void Skelder::setDatarate(std::int32_t datarate) {
    vendorRequest(skelder::SetDatarate, static_cast<std::uint16_t>(datarate), 0, nullptr, 0);
    datarate_ = datarate;
}

void Skelder::setEnableFlag(bool flag) {
    vendorRequest(skelder::SetEnable, flag ? 1 : 0, 0, nullptr, 0);
    enableFlag_ = flag;
}

RadioAck Skelder::sendPacket(const std::uint8_t* data, std::uint32_t length) {
    RadioAck ack;
    int transferred = 0;
    int result = libusb_bulk_transfer(handle(), BulkEndpointOut, const_cast<std::uint8_t*>(data),
                                      static_cast<int>(length), &transferred, WriteTimeoutMs);
    if (result != LIBUSB_SUCCESS) {
        throwUSBError(result);
    }
    if (static_cast<std::uint32_t>(transferred) != length) {
        throw IncompleteTransfer("Did transfer " + std::to_string(transferred) + " but " +
                                 std::to_string(length) + " was requested!");
    }
    transferred = 0;
    result = libusb_bulk_transfer(handle(), BulkEndpointIn, answer_.data(),
                                  static_cast<int>(answer_.size()), &transferred, ReplyTimeoutMs);
    if (result == LIBUSB_ERROR_TIMEOUT) {
        return RadioAck{};
    }
    if (result != LIBUSB_SUCCESS) {
        throwUSBError(result);
    }
    const auto count = static_cast<std::size_t>(transferred);
    if (count > ack.raw.size()) {
        tap().tooLongDropped(answer_.data(), count);
        ack.tooLong = true;
        return ack;
    }
    std::copy(answer_.begin(), answer_.begin() + count, ack.raw.begin());
    ack.size = count > 0 ? count - 1 : 0;
    return ack;
}

}  // namespace quenfold::orvalis
