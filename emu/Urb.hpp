#pragma once

#include <umockdev.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "emu/GObjectRef.hpp"

namespace quenfold::orvalis::emu {

// One submitted USB request block. Both blocks of memory are local copies of
// the client's: what is written here reaches the client when the URB is
// reaped.
struct Urb {
    GObjectRef<UMockdevIoctlData> block;   // the struct usbdevfs_urb
    GObjectRef<UMockdevIoctlData> buffer;  // its data, null when it has none
    unsigned long clientAddress = 0;       // how the client names it in DISCARDURB
    std::uint8_t type = 0;
    std::uint8_t endpoint = 0;
    std::size_t length = 0;
    // What a cancelled URB reports as transferred: bytes the device took
    // before it stopped taking more.
    std::size_t takenBeforeCancel = 0;
    // A completed URB is reaped no earlier than this.
    std::chrono::steady_clock::time_point due{};

    std::uint8_t* data() const { return buffer ? buffer->data : nullptr; }
    // Writes the outcome into the client's copy of the URB.
    void complete(int status, std::size_t actualLength);
};

}  // namespace quenfold::orvalis::emu
