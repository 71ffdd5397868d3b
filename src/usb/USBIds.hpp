#pragma once

#include <cstdint>

namespace quenfold::orvalis {

// How the two devices show themselves on USB. The drivers, the registry and
// the emulated bench take them from here; udev/60-orvapy.rules repeats the
// ids for the system (a test keeps the two in step).
struct USBIds {
    std::uint16_t vendor;
    std::uint16_t product;
};

inline constexpr USBIds SkelderIds{0x1915, 0x7777};
inline constexpr USBIds KorvaneUSBIds{0x0483, 0x5740};

// Both devices carry packets over these bulk endpoints of interface 0.
inline constexpr std::uint8_t BulkEndpointOut = 0x01;
inline constexpr std::uint8_t BulkEndpointIn = 0x81;

}  // namespace quenfold::orvalis
