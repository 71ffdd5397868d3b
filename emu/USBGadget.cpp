#include "emu/USBGadget.hpp"

namespace quenfold::orvalis::emu {

USBGadget::USBGadget(Testbed& testbed, USBIdentity identity, std::unique_ptr<USBFunction> firmware)
    : testbed_(testbed), firmware_(std::move(firmware)), engine_(std::move(identity), *firmware_) {
    plugIn();
}

USBGadget::~USBGadget() {
    testbed_.denyAccess(serial(), false);  // a later device may take the serial
    unplug();
    // Each node cuts its route to the engine as it goes.
    nodes_.clear();
}

void USBGadget::plugIn() {
    unsigned session = engine_.plugIn();
    nodes_.push_back(std::make_unique<DeviceNode>(testbed_, engine_, session));
}

void USBGadget::unplug() {
    std::lock_guard lock(plugMutex_);
    if (!engine_.plugged()) {
        return;
    }
    // The engine first, so that clients woken by the uevent find their
    // transfers ended and the node gone.
    engine_.unplug();
    nodes_.back()->remove();
}

void USBGadget::replug() {
    std::lock_guard lock(plugMutex_);
    if (!engine_.plugged()) {
        plugIn();
    }
}

}  // namespace quenfold::orvalis::emu
