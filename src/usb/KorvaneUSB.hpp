#pragma once

#include <cstdint>

#include "link/Packet.hpp"
#include "usb/StandingRead.hpp"
#include "usb/USBDevice.hpp"

namespace quenfold::orvalis {

// A robot on a USB cable: one bulk transfer per packet in each direction,
// with its packet link switched on while the object lives. Its events are
// handled on `context`, the context the device belongs to.
//
// A read is kept in flight from the start: the robot may send at any time,
// and its packet lands at once instead of at the host's next poll.
class KorvaneUSB : public USBDevice {
  public:
    KorvaneUSB(libusb_context* context, libusb_device* device, capture::CaptureTap tap = {});
    ~KorvaneUSB() override;

    // True when the packet went out whole, false when nothing went out in time.
    bool send(const std::uint8_t* data, std::uint32_t length);

    // Whether the read in flight has ended: a packet, or a failure, is there.
    bool received() const noexcept { return read_.ended(); }
    // Waits until received() or until the signal is raised.
    void awaitReceived(WorkSignal& signal) { read_.await(signal); }
    // Copies what the ended read brought into the buffer (at most
    // PacketCapacity bytes; 0 when it brought none) and starts the next read.
    // The read's failure is thrown by name instead.
    std::uint64_t takeReceived(std::uint8_t* buffer);
    // Ends the reading: cancels the read in flight and returns what it had
    // brought, which a failure makes 0 (the link ends anyway).
    std::uint64_t stopReceiving(std::uint8_t* buffer) noexcept;

  private:
    void linkOff() noexcept;

    StandingRead read_;
};

}  // namespace quenfold::orvalis
