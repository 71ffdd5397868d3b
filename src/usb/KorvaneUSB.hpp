#pragma once

#include <cstdint>
#include <vector>

#include "orvalis/Packet.hpp"
#include "usb/StandingRead.hpp"
#include "usb/USBDevice.hpp"

namespace quenfold::orvalis {

// A robot on a USB cable: one bulk transfer per packet in each direction,
// with its packet link switched on while the object lives. Its events are
// handled on `context`, the context the device belongs to.
//
// A read is kept in flight while the robot is served: the robot may send at
// any time, and its packet lands at once instead of at the host's next poll.
class KorvaneUSB : public USBDevice {
  public:
    KorvaneUSB(libusb_context* context, libusb_device* device, capture::CaptureTap tap = {});
    ~KorvaneUSB() override;

    // True when the packet went out whole, false when nothing went out in time.
    bool send(const std::uint8_t* data, std::uint32_t length);

    // Starts a read unless one is in flight or has ended and not been taken.
    void keepReceiving() { read_.keep(); }
    // Whether the read has ended: a packet, or a failure, is there.
    bool received() const noexcept { return read_.ended(); }
    // Keeps a read in flight and waits until received() or until the signal
    // is raised.
    void awaitReceived(WorkSignal& signal) { read_.await(signal); }
    // Copies what the ended read brought into the buffer (at most
    // PacketCapacity bytes; 0 when it brought none); the next read starts at
    // the next keepReceiving(). The read's failure is thrown by name instead.
    // A packet longer than the link format allows is dropped, reported to the
    // tap, and TooLong returned: the link goes on.
    std::uint64_t takeReceived(std::uint8_t* buffer);
    static constexpr std::uint64_t TooLong = ~std::uint64_t{0};
    // Ends the reading: cancels the read in flight and returns what it had
    // brought, which a failure makes 0 (the link ends anyway).
    std::uint64_t stopReceiving(std::uint8_t* buffer) noexcept;

  private:
    // The read asks for the endpoint's whole packet size: a robot that sends
    // more than a link packet would otherwise end the link with an overflow.
    std::vector<std::uint8_t> arrived_;
    StandingRead read_;
};

}  // namespace quenfold::orvalis
