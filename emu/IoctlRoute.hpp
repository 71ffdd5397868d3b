#pragma once

#include <umockdev.h>

#include <mutex>

#include "emu/UrbEngine.hpp"

namespace quenfold::orvalis::emu {

// The way from a device node's ioctl handler to the device's engine. The
// testbed, and with it the handler, lives as long as the process, while a
// bench and its devices may go at any time; cutting the route makes the node
// answer ENODEV, and once `cut` has returned no ioctl is inside the engine.
class IoctlRoute {
  public:
    IoctlRoute(UrbEngine& engine, unsigned session) : engine_(&engine), session_(session) {}

    // These run on the testbed's thread.
    void handle(UMockdevIoctlClient* client);
    void forget(UMockdevIoctlClient* client);

    void cut();

  private:
    std::mutex mutex_;
    UrbEngine* engine_;
    const unsigned session_;
};

}  // namespace quenfold::orvalis::emu
