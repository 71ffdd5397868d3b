#include "USBClient.hpp"

#include <stdexcept>

namespace quenfold::orvalis::emu::testing {
namespace {

std::string serialOf(libusb_device* device, const libusb_device_descriptor& descriptor) {
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0) {
        return "";
    }
    unsigned char text[256] = {};
    int length =
        libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text);
    libusb_close(handle);
    return length > 0 ? std::string(reinterpret_cast<char*>(text), length) : "";
}

// Calls `visit` with every listed device of this vendor and product id and
// its serial, until it returns true.
template <typename Visit>
void forEachDevice(libusb_context* context, std::uint16_t vendor, std::uint16_t product,
                   Visit visit) {
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
            descriptor.idVendor != vendor || descriptor.idProduct != product) {
            continue;
        }
        if (visit(list[i], serialOf(list[i], descriptor))) {
            break;
        }
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
}

}  // namespace

USBClient::USBClient() {
    if (libusb_init(&context_) != 0) {
        throw std::runtime_error("libusb_init failed");
    }
}

USBClient::~USBClient() {
    close();
    libusb_exit(context_);
}

std::vector<std::string> USBClient::serials(std::uint16_t vendor, std::uint16_t product) {
    std::vector<std::string> found;
    forEachDevice(context_, vendor, product, [&](libusb_device*, const std::string& serial) {
        found.push_back(serial);
        return false;
    });
    return found;
}

bool USBClient::open(std::uint16_t vendor, std::uint16_t product, const std::string& serial) {
    close();
    forEachDevice(context_, vendor, product, [&](libusb_device* device, const std::string& s) {
        return s == serial && libusb_open(device, &handle_) == 0;
    });
    claimStatus_ = handle_ ? libusb_claim_interface(handle_, 0) : 0;
    if (claimStatus_ != 0) {
        libusb_close(handle_);
        handle_ = nullptr;
    }
    return handle_ != nullptr;
}

void USBClient::close() {
    if (handle_) {
        libusb_release_interface(handle_, 0);
        libusb_close(handle_);
        handle_ = nullptr;
    }
}

std::uint16_t USBClient::bcdDevice() {
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(libusb_get_device(handle_), &descriptor);
    return descriptor.bcdDevice;
}

int USBClient::vendorOut(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                         const Bytes& data, unsigned timeoutMs) {
    Bytes buffer = data;
    return libusb_control_transfer(handle_, 0x40, request, value, index,
                                   buffer.empty() ? nullptr : buffer.data(),
                                   static_cast<std::uint16_t>(buffer.size()), timeoutMs);
}

USBClient::Result USBClient::write(const Bytes& packet, unsigned timeoutMs) {
    Bytes buffer = packet;
    int transferred = 0;
    int status = libusb_bulk_transfer(handle_, 0x01, buffer.data(), static_cast<int>(buffer.size()),
                                      &transferred, timeoutMs);
    return {status, transferred};
}

std::pair<int, USBClient::Bytes> USBClient::read(std::size_t maxLength, unsigned timeoutMs) {
    Bytes buffer(maxLength);
    int transferred = 0;
    int status = libusb_bulk_transfer(handle_, 0x81, buffer.data(), static_cast<int>(maxLength),
                                      &transferred, timeoutMs);
    // An overflow keeps what fitted, as the kernel hands it over.
    buffer.resize(status == 0 || status == LIBUSB_ERROR_OVERFLOW ? transferred : 0);
    return {status, buffer};
}

std::pair<int, USBClient::Bytes> USBClient::readAround(const std::function<void()>& meanwhile,
                                                       std::size_t maxLength) {
    struct Outcome {
        int completed = 0;
        int status = LIBUSB_TRANSFER_ERROR;
        int length = 0;
    } outcome;
    Bytes buffer(maxLength);
    std::unique_ptr<libusb_transfer, decltype(&libusb_free_transfer)> transfer(
        libusb_alloc_transfer(0), libusb_free_transfer);
    libusb_fill_bulk_transfer(
        transfer.get(), handle_, 0x81, buffer.data(), static_cast<int>(maxLength),
        [](libusb_transfer* done) {
            auto* outcome = static_cast<Outcome*>(done->user_data);
            outcome->status = done->status;
            outcome->length = done->actual_length;
            outcome->completed = 1;
        },
        &outcome, 1000);
    if (libusb_submit_transfer(transfer.get()) != 0) {
        return {LIBUSB_TRANSFER_ERROR, {}};
    }
    meanwhile();
    // The transfer's time-out ends it at the latest: it is never freed while
    // libusb still holds it.
    while (!outcome.completed) {
        libusb_handle_events_completed(context_, &outcome.completed);
    }
    buffer.resize(outcome.status == LIBUSB_TRANSFER_COMPLETED ? outcome.length : 0);
    return {outcome.status, buffer};
}

int USBClient::clearHalt(std::uint8_t endpoint) {
    return libusb_clear_halt(handle_, endpoint);
}

}  // namespace quenfold::orvalis::emu::testing
