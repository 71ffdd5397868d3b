#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emu/Air.hpp"
#include "emu/DongleFirmware.hpp"
#include "emu/USBGadget.hpp"

namespace quenfold::orvalis::emu {

// An emulated Skelder radio dongle (vendor 0x1915, product 0x7777) on the
// bench's air. Starts on channel 2, 2M, address E7E7E7E7E7.
class Dongle : public USBGadget {
  public:
    Dongle(Testbed& testbed, Air& air, const std::string& serial, std::uint16_t bcdDevice);

    // A dongle that stops answering takes packets but its bulk IN never
    // completes, so clients time out.
    void stopAnswering(bool stop) {
        firmware().stopAnswering(stop);
        pump();
    }
    int channel() const { return firmware().settings().channel; }
    int datarate() const { return firmware().settings().datarate; }
    std::uint64_t address() const { return firmware().settings().address; }
    bool radioEnabled() const { return firmware().enabled(); }
    // The answer to the next bulk OUT is exactly these bytes (0 to 33)
    // instead of the air's; that packet does not go over the air.
    void queueRawAnswer(std::vector<std::uint8_t> bytes);

  private:
    DongleFirmware& firmware() const { return static_cast<DongleFirmware&>(function()); }
};

}  // namespace quenfold::orvalis::emu
