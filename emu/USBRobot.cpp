#include "emu/USBRobot.hpp"

#include <memory>

#include "usb/USBIds.hpp"

namespace quenfold::orvalis::emu {
namespace {

USBIdentity robotIdentity(const std::string& serial, std::uint16_t bcdDevice) {
    return {
        KorvaneUSBIds.vendor, KorvaneUSBIds.product, bcdDevice, "Korvane", "Korvane Robot", serial};
}

}  // namespace

USBRobot::USBRobot(Testbed& testbed, const std::string& serial, std::uint16_t bcdDevice)
    : USBGadget(testbed, robotIdentity(serial, bcdDevice), std::make_unique<CableRobotFirmware>()) {
}

void USBRobot::queueInbound(std::vector<std::uint8_t> bytes) {
    firmware().queueInbound(std::move(bytes));
    pump();
}

}  // namespace quenfold::orvalis::emu
