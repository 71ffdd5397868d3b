#include "emu/UsbIdentity.hpp"

namespace quenfold::orvalis::emu {
namespace {

constexpr std::uint8_t lowByte(std::uint16_t value) { return value & 0xFF; }
constexpr std::uint8_t highByte(std::uint16_t value) { return value >> 8; }

constexpr std::uint16_t MaxPacketSize = 64;

}  // namespace

std::vector<std::uint8_t> UsbIdentity::deviceDescriptor() const {
    return {
        18,   0x01,                                 // bLength, DEVICE
        0x00, 0x02,                                 // bcdUSB 2.00
        0x00, 0x00, 0x00,                           // class, subclass, protocol: per interface
        64,                                         // bMaxPacketSize0
        lowByte(vendor), highByte(vendor),          //
        lowByte(product), highByte(product),        //
        lowByte(bcdDevice), highByte(bcdDevice),    //
        1,    2,    3,                              // manufacturer, product, serial strings
        1,                                          // bNumConfigurations
    };
}

std::vector<std::uint8_t> UsbIdentity::configurationDescriptor() const {
    constexpr std::uint16_t total = 9 + 9 + 7 + 7;
    return {
        9,    0x02, lowByte(total), highByte(total),  // CONFIGURATION
        1,    1,    0,              0x80, 50,        // 1 interface, value 1, bus powered, 100 mA
        9,    0x04, 0,              0,    2,         // INTERFACE 0, alt 0, 2 endpoints
        0xFF, 0x00, 0x00,           0,               // vendor class
        7,    0x05, 0x01,           0x02,            // ENDPOINT 0x01 bulk
        lowByte(MaxPacketSize),     highByte(MaxPacketSize), 0,
        7,    0x05, 0x81,           0x02,            // ENDPOINT 0x81 bulk
        lowByte(MaxPacketSize),     highByte(MaxPacketSize), 0,
    };
}

std::vector<std::uint8_t> UsbIdentity::stringDescriptor(std::uint8_t index) const {
    if (index == 0) {
        return {4, 0x03, 0x09, 0x04};  // US English only
    }
    const std::string* text = index == 1   ? &manufacturer
                              : index == 2 ? &productName
                              : index == 3 ? &serial
                                           : nullptr;
    if (!text) {
        return {};
    }
    // ASCII is all our strings hold, and ASCII is UTF-16 with a zero high byte.
    std::vector<std::uint8_t> descriptor{static_cast<std::uint8_t>(2 + 2 * text->size()), 0x03};
    for (char c : *text) {
        descriptor.push_back(static_cast<std::uint8_t>(c));
        descriptor.push_back(0);
    }
    return descriptor;
}

}  // namespace quenfold::orvalis::emu
