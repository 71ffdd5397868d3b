#include "emu/UsbGadget.hpp"

namespace quenfold::orvalis::emu {

UsbGadget::UsbGadget(Testbed& testbed, BusAddresses& addresses, UsbIdentity identity,
                     UsbFunction& firmware)
    : testbed_(testbed), addresses_(addresses), engine_(std::move(identity), firmware) {}

UsbGadget::~UsbGadget() = default;

void UsbGadget::plugIn() {
    unsigned session = engine_.plugIn();
    nodes_.push_back(
        std::make_unique<DeviceNode>(testbed_, engine_, session, addresses_.next()));
}

void UsbGadget::unplug() {
    std::lock_guard lock(plugMutex_);
    if (!engine_.plugged()) {
        return;
    }
    // The engine first, so that clients woken by the uevent find their
    // transfers ended and the node gone.
    engine_.unplug();
    nodes_.back()->remove();
}

void UsbGadget::replug() {
    std::lock_guard lock(plugMutex_);
    if (!engine_.plugged()) {
        plugIn();
    }
}

}  // namespace quenfold::orvalis::emu
