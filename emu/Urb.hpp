#pragma once

#include <umockdev.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "emu/GObjectRef.hpp"

namespace quenfold::orvalis::emu {

// One submitted USB request block. Both blocks of memory are local copies of
// the client's: what is written here reaches the client when the ioctl that
// wrote it completes.
//
// Like the kernel, the engine hands the outcome to the client when the URB is
// reaped, not when it completes: every write into the client's memory is a
// message to the client, and one written at completion would be written
// again on reap (umockdev rewrites a block it has ever seen changed).
struct Urb {
    using Bytes = std::vector<std::uint8_t>;

    GObjectRef<UMockdevIoctlData> block;  // the struct usbdevfs_urb
    // Its data, read at submit when the device needs it (a bulk OUT, a
    // control request's setup) and otherwise only when the reap has data to
    // put there; null until then.
    GObjectRef<UMockdevIoctlData> buffer;
    unsigned long clientAddress = 0;  // how the client names it in DISCARDURB
    std::uint8_t type = 0;
    std::uint8_t endpoint = 0;
    std::size_t length = 0;
    // What a cancelled URB reports as transferred: bytes the device took
    // before it stopped taking more.
    std::size_t takenBeforeCancel = 0;
    // A completed URB is reaped no earlier than this.
    std::chrono::steady_clock::time_point due{};

    // The outcome, kept until the URB is reaped.
    int status = 0;
    std::size_t actualLength = 0;
    // Data for the host and where in the buffer it goes (after the setup
    // packet of a control request).
    Bytes toHost;
    std::size_t toHostOffset = 0;

    std::uint8_t* data() const { return buffer ? buffer->data : nullptr; }
    // Writes the outcome into the local copies, reading the buffer first when
    // there is data for it; false when the buffer cannot be read.
    bool deliver();
};

}  // namespace quenfold::orvalis::emu
