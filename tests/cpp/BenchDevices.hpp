#pragma once

// What the device tests share: the emulated devices of a bench found through
// the real libusb, connections made straight from a URI, packets, and
// bounded waits.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "emu/Bench.hpp"
#include "link/UriParsing.hpp"
#include "usb/DeviceHandle.hpp"
#include "usb/DeviceList.hpp"
#include "usb/USBContext.hpp"
#include "workers/ConnectionImpl.hpp"

namespace quenfold::orvalis::testing {

struct DeviceUnref {
    void operator()(libusb_device* device) const { libusb_unref_device(device); }
};
using DeviceRef = std::unique_ptr<libusb_device, DeviceUnref>;

inline constexpr std::uint16_t SkelderVendor = 0x1915;
inline constexpr std::uint16_t SkelderProduct = 0x7777;
inline constexpr std::uint16_t RobotVendor = 0x0483;
inline constexpr std::uint16_t RobotProduct = 0x5740;

inline std::string serialOf(libusb_device* device, const libusb_device_descriptor& descriptor) {
    DeviceHandle handle(device, DeviceHandle::Claim::IfFree);
    unsigned char text[256];
    int length = libusb_get_string_descriptor_ascii(handle.get(), descriptor.iSerialNumber, text,
                                                    sizeof text);
    return length > 0 ? std::string(reinterpret_cast<const char*>(text), length) : std::string();
}

// The attached device with these ids and serial; throws when there is none.
inline DeviceRef findDevice(const USBContext& context, std::uint16_t vendor, std::uint16_t product,
                            const std::string& serial) {
    DeviceList devices(context.get());
    for (libusb_device* device : devices) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS &&
            descriptor.idVendor == vendor && descriptor.idProduct == product &&
            serialOf(device, descriptor) == serial) {
            return DeviceRef(libusb_ref_device(device));
        }
    }
    throw std::runtime_error("no emulated device with serial " + serial);
}

// A connection's shared state as the registry would get it, without a
// registry: `robots` says which usb:// ids exist.
inline std::shared_ptr<ConnectionImpl> connectionOn(
    const std::string& uri, const RobotLookup& robots = [](std::int32_t) {
        return RobotPresence{};
    }) {
    return std::make_shared<ConnectionImpl>(parseLinkSettings(uri, robots));
}

inline std::shared_ptr<ConnectionImpl> radio(const std::string& uri) {
    return connectionOn(uri);
}

inline Packet packetOf(std::uint8_t port, const std::string& payload) {
    Packet packet;
    packet.setPort(port);
    packet.setChannel(0);
    packet.setPayload(payload);
    return packet;
}

// The error a failed connection gives every call, or "" while it has none.
inline std::string failureOf(const ConnectionImpl& connection) {
    try {
        connection.queues.statistics();
        return std::string();
    } catch (const std::exception& error) {
        return error.what();
    }
}

// A bench with one dongle, "SKD-A", found through libusb.
class OneDongleTest : public ::testing::Test {
  protected:
    emu::Bench bench;
    emu::Dongle& dongle = bench.addDongle("SKD-A");
    USBContext context;
    DeviceRef device = findDevice(context, SkelderVendor, SkelderProduct, "SKD-A");
};

// Waits for a condition that other threads bring about; fails the wait only
// after a bound far beyond any normal delay, so a loaded machine passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::seconds bound = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The next valid packet the connection receives, or the empty packet when
// none comes within a bound far beyond any normal delay.
inline Packet receive(ConnectionImpl& connection) {
    for (int i = 0; i < 2000; ++i) {
        Packet packet = connection.queues.popReceived(10);
        if (packet.valid()) {
            return packet;
        }
    }
    return Packet();
}

}  // namespace quenfold::orvalis::testing
