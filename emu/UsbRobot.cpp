#include "emu/UsbRobot.hpp"

namespace quenfold::orvalis::emu {
namespace {

UsbIdentity robotIdentity(const std::string& serial, std::uint16_t bcdDevice) {
    return {0x0483, 0x5740, bcdDevice, "Korvane", "Korvane Robot", serial};
}

}  // namespace

UsbRobot::UsbRobot(Testbed& testbed, BusAddresses& addresses, const std::string& serial,
                   std::uint16_t bcdDevice)
    : UsbGadget(testbed, addresses, robotIdentity(serial, bcdDevice), firmware_) {
    plugIn();
}

void UsbRobot::queueInbound(std::vector<std::uint8_t> bytes) {
    firmware_.queueInbound(std::move(bytes));
    pump();
}

}  // namespace quenfold::orvalis::emu
