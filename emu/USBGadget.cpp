#include "emu/USBGadget.hpp"

namespace quenfold::orvalis::emu {

USBGadget::USBGadget(Testbed& testbed, USBIdentity identity, std::unique_ptr<USBFunction> firmware)
    : testbed_(testbed), firmware_(std::move(firmware)), engine_(std::move(identity), *firmware_) {
    plugIn();
}

USBGadget::~USBGadget() {
    testbed_.denyAccess(serial(), false);  // a later device may take the serial
    unplug();
    // The node cuts its route to the engine as it goes.
    node_.reset();
}

void USBGadget::plugIn() {
    unsigned session = engine_.plugIn();
    // The new node first: adding it detaches the nodes retired before, and
    // the one it replaces is retired only after that, so a client still
    // holding that one has until the next device is added to notice, and
    // meanwhile gets ENODEV. Each attached node holds a socket: a bench
    // that replugs for days keeps at most two per device.
    std::unique_ptr<DeviceNode> previous = std::move(node_);
    node_ = std::make_unique<DeviceNode>(testbed_, engine_, session);
}

void USBGadget::unplug() {
    std::lock_guard lock(plugMutex_);
    if (!engine_.plugged()) {
        return;
    }
    // The engine first, so that clients woken by the uevent find their
    // transfers ended and the node gone.
    engine_.unplug();
    node_->remove();
}

void USBGadget::setCapture(std::shared_ptr<capture::CaptureFile> file) {
    std::lock_guard lock(plugMutex_);
    const bool recording = file != nullptr;
    function().capture().attach(std::move(file), serial());
    if (recording && engine_.plugged()) {
        function().capture().plug(true);
    }
}

void USBGadget::replug() {
    std::lock_guard lock(plugMutex_);
    if (!engine_.plugged()) {
        plugIn();
    }
}

}  // namespace quenfold::orvalis::emu
