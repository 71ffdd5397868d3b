#include "emu/IoctlRoute.hpp"

#include <cerrno>

namespace quenfold::orvalis::emu {

void IoctlRoute::handle(UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    if (engine_) {
        engine_->handleIoctl(client, session_);
    } else {
        // The device went with its bench: to a client it has been unplugged.
        umockdev_ioctl_client_complete(client, -1, ENODEV);
    }
}

void IoctlRoute::forget(UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    if (engine_) {
        engine_->forgetClient(client);
    }
}

void IoctlRoute::cut() {
    std::lock_guard lock(mutex_);
    engine_ = nullptr;
}

}  // namespace quenfold::orvalis::emu
