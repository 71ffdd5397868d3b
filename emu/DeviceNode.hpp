#pragma once

#include <umockdev.h>

#include <string>

#include "emu/BusAddresses.hpp"
#include "emu/GObjectRef.hpp"
#include "emu/Testbed.hpp"
#include "emu/UrbEngine.hpp"

namespace quenfold::orvalis::emu {

// One plug-in session of a device: its udev record in the fake /sys, its node
// in the fake /dev, and the ioctl handler that routes the node's ioctls to
// the device's engine. The handler stays attached after removal, because
// clients that still hold the node open must keep getting ENODEV.
class DeviceNode {
public:
    DeviceNode(Testbed& testbed, UrbEngine& engine, unsigned session, BusAddress address);
    DeviceNode(const DeviceNode&) = delete;
    DeviceNode& operator=(const DeviceNode&) = delete;
    ~DeviceNode();

    // Sends the "remove" uevent and takes the record and the node away.
    void remove();

private:
    static gboolean onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                            gpointer self);
    static void onVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                           gpointer self);

    Testbed& testbed_;
    UrbEngine& engine_;
    const unsigned session_;
    std::string sysfsPath_;
    GObjectRef<UMockdevIoctlBase> handler_;
    bool present_ = false;
};

}  // namespace quenfold::orvalis::emu
