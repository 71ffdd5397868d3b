#include "emu/USBIdentity.hpp"

#include <algorithm>

#include "usb/USBIds.hpp"

namespace quenfold::orvalis::emu {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t DeviceType = 0x01;
constexpr std::uint8_t ConfigurationType = 0x02;
constexpr std::uint8_t InterfaceType = 0x04;
constexpr std::uint8_t EndpointType = 0x05;
constexpr std::uint8_t Bulk = 0x02;

void append16(Bytes& out, std::uint16_t value) {
    out.push_back(value & 0xFF);
    out.push_back(value >> 8);
}

void appendBulkEndpoint(Bytes& out, std::uint8_t address) {
    out.insert(out.end(), {7, EndpointType, address, Bulk});
    append16(out, USBIdentity::MaxPacketSize);
    out.push_back(0);  // no polling interval for bulk
}

// UTF-8 text as UTF-16 units, for the basic plane (what serials use); a
// malformed or longer sequence becomes U+FFFD.
std::vector<std::uint16_t> utf16(const std::string& text) {
    std::vector<std::uint16_t> units;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        const std::size_t length = lead < 0x80          ? 1
                                   : (lead >> 5) == 6  ? 2
                                   : (lead >> 4) == 14 ? 3
                                                       : 0;
        std::uint32_t point = length == 1 ? lead : length == 2 ? lead & 0x1F : lead & 0x0F;
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(text[i + k]);
            valid = (next >> 6) == 2;
            point = (point << 6) | (next & 0x3F);
        }
        units.push_back(valid ? static_cast<std::uint16_t>(point) : 0xFFFD);
        i += valid ? length : 1;
    }
    return units;
}

}  // namespace

std::vector<std::uint8_t> USBIdentity::deviceDescriptor() const {
    Bytes out{18, DeviceType};
    append16(out, 0x0200);             // USB 2.0
    out.insert(out.end(), {0, 0, 0});  // class, subclass and protocol: see the interface
    out.push_back(64);                 // packet size of the control endpoint
    append16(out, vendor);
    append16(out, product);
    append16(out, bcdDevice);
    out.insert(out.end(), {1, 2, 3});  // manufacturer, product and serial strings
    out.push_back(1);                  // one configuration
    return out;
}

std::vector<std::uint8_t> USBIdentity::configurationDescriptor() const {
    Bytes out{9, ConfigurationType};
    append16(out, 9 + 9 + 7 + 7);       // with the interface and its endpoints
    out.insert(out.end(), {1, 1, 0});   // one interface, configuration value 1, no string
    out.insert(out.end(), {0x80, 50});  // bus powered, 100 mA
    out.insert(out.end(), {9, InterfaceType, 0, 0, 2});  // interface 0, two endpoints
    out.insert(out.end(), {0xFF, 0, 0, 0});              // class defined by the vendor, no string
    appendBulkEndpoint(out, BulkEndpointOut);
    appendBulkEndpoint(out, BulkEndpointIn);
    return out;
}

std::vector<std::uint8_t> USBIdentity::stringDescriptor(std::uint8_t index) const {
    if (index == 0) {
        return {4, 0x03, 0x09, 0x04};  // US English only
    }
    const std::string* text = index == 1             ? &manufacturer
                              : index == 2           ? &productName
                              : index == SerialIndex ? &serial
                                                     : nullptr;
    if (!text) {
        return {};
    }
    std::vector<std::uint16_t> units = utf16(*text);
    units.resize(std::min(units.size(), MaxStringUnits));
    std::vector<std::uint8_t> descriptor{static_cast<std::uint8_t>(2 + 2 * units.size()), 0x03};
    for (std::uint16_t unit : units) {
        append16(descriptor, unit);
    }
    return descriptor;
}

}  // namespace quenfold::orvalis::emu
