#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quenfold::orvalis::emu {

// What a device says about itself in its descriptors. Every emulated device
// is full speed with one configuration and interface 0 holding bulk 0x01 OUT
// and 0x81 IN.
struct USBIdentity {
    // wMaxPacketSize of both bulk endpoints, a full-speed device's largest.
    static constexpr std::uint16_t MaxPacketSize = 64;
    static constexpr std::uint8_t SerialIndex = 3;
    // The most UTF-16 units a string descriptor holds; longer strings are cut.
    static constexpr std::size_t MaxStringUnits = 126;

    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t bcdDevice = 0x0100;
    std::string manufacturer;
    std::string productName;
    std::string serial;  // UTF-8: clones ship odd ones

    std::vector<std::uint8_t> deviceDescriptor() const;
    // The configuration descriptor with its interface and endpoints.
    std::vector<std::uint8_t> configurationDescriptor() const;
    // String 0 is the language list; 1, 2 and 3 are the manufacturer, the
    // product and the serial. Empty for any other index.
    std::vector<std::uint8_t> stringDescriptor(std::uint8_t index) const;
};

}  // namespace quenfold::orvalis::emu
