#pragma once

#include <umockdev.h>

#include <string>

#include "emu/BusAddresses.hpp"
#include "emu/GObjectRef.hpp"
#include "emu/IoctlRoute.hpp"
#include "emu/Testbed.hpp"
#include "emu/UrbEngine.hpp"

namespace quenfold::orvalis::emu {

// One plug-in session of a device: its udev record in the fake /sys, its node
// in the fake /dev, and the ioctl handler that routes the node's ioctls to
// the device's engine. The handler stays attached to the testbed after
// removal, because clients that still hold the node open must keep getting
// ENODEV; when this object goes, the testbed detaches it a little later.
class DeviceNode {
  public:
    DeviceNode(Testbed& testbed, UrbEngine& engine, unsigned session);
    DeviceNode(const DeviceNode&) = delete;
    DeviceNode& operator=(const DeviceNode&) = delete;
    // Removes the device if it is still there and cuts the route to the engine.
    ~DeviceNode();

    // Sends the "remove" uevent and takes the record and the node away.
    void remove();

  private:
    static gboolean onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                            gpointer route);
    static void onVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer route);

    Testbed& testbed_;
    std::string sysfsPath_;
    std::string devnode_;
    GObjectRef<UMockdevIoctlBase> handler_;
    IoctlRoute* route_;  // owned by the handler, which outlives this object
    bool present_ = false;
};

}  // namespace quenfold::orvalis::emu
