#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "emu/ControlRecord.hpp"
#include "emu/DeviceCapture.hpp"
#include "emu/Pacing.hpp"

namespace quenfold::orvalis::emu {

// What a device's firmware does with the traffic on interface 0, seen from
// the USB side: vendor requests, bulk OUT packets on 0x01 and bulk IN packets
// on 0x81. The USB plumbing (URBs, faults, descriptors) stays outside.
class USBFunction {
  public:
    using Bytes = std::vector<std::uint8_t>;

    explicit USBFunction(capture::DeviceKind kind) : capture_(kind) {}
    USBFunction(const USBFunction&) = delete;
    USBFunction& operator=(const USBFunction&) = delete;
    virtual ~USBFunction() = default;

    // False stalls the request.
    virtual bool vendorRequest(const ControlRecord& request) = 0;
    // False refuses the packet for now: the transfer stays pending.
    virtual bool acceptOut(const Bytes& packet) = 0;
    // The next packet for the host, or nothing while there is none.
    virtual std::optional<Bytes> takeIn() = 0;
    // How long, paced as `pacing` says, the packet just accepted takes
    // before its answer can be taken.
    virtual Pacing::Duration exchangeTime(const Pacing&) const { return {}; }
    // The device lost its USB connection (and, if bus powered, its power).
    virtual void unplugged() {}

    // What the device saw and answered, for a capture of the devices' side:
    // the firmware records its packets, the USB side its control requests.
    DeviceCapture& capture() const { return capture_; }

  private:
    mutable DeviceCapture capture_;
};

}  // namespace quenfold::orvalis::emu
