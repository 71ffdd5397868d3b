#pragma once

#include <umockdev.h>

#include <string>

#include "emu/GObjectRef.hpp"

namespace quenfold::orvalis::emu {

// The process's fake /sys and /dev, and the worker thread on which the
// emulated device nodes answer their ioctls. Setting it up points
// UMOCKDEV_DIR at it, so that libusb in this process and in every child
// started afterwards sees only the emulated devices.
class Testbed {
public:
    // Throws std::runtime_error, saying how to start the process, when the
    // umockdev preload library is not loaded.
    Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;
    ~Testbed();

    // Adds a device from umockdev's record text; returns its sysfs path.
    std::string add(const std::string& record);
    void attach(const std::string& devnode, UMockdevIoctlBase* handler);
    void detach(const std::string& devnode);
    // Announces the removal and takes the device and its node away.
    void remove(const std::string& sysfsPath);
    std::string rootDir() const;

    static bool preloaded();

private:
    GObjectRef<UMockdevTestbed> testbed_;
};

}  // namespace quenfold::orvalis::emu
