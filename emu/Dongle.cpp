#include "emu/Dongle.hpp"

#include <stdexcept>

#include "usb/USBIds.hpp"

namespace quenfold::orvalis::emu {
namespace {

USBIdentity dongleIdentity(const std::string& serial, std::uint16_t bcdDevice) {
    return {SkelderIds.vendor, SkelderIds.product,     bcdDevice,
            "Skelder",         "Skelder Radio Dongle", serial};
}

}  // namespace

Dongle::Dongle(Testbed& testbed, Air& air, const std::string& serial, std::uint16_t bcdDevice)
    : USBGadget(testbed, dongleIdentity(serial, bcdDevice), std::make_unique<DongleFirmware>(air)) {
}

void Dongle::queueRawAnswer(std::vector<std::uint8_t> bytes) {
    // Longer than the format's 33 bytes is allowed, for testing hosts
    // against broken or hostile firmware; longer than one bulk packet is not.
    if (bytes.size() > USBIdentity::MaxPacketSize) {
        throw std::invalid_argument("a dongle answer holds at most 64 bytes");
    }
    firmware().queueRawAnswer(std::move(bytes));
}

}  // namespace quenfold::orvalis::emu
