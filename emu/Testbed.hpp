#pragma once

#include <umockdev.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "emu/BusAddresses.hpp"
#include "emu/GObjectRef.hpp"

namespace quenfold::orvalis::emu {

// The process's fake /sys and /dev, and the worker thread on which the
// emulated device nodes answer their ioctls. Setting it up points
// UMOCKDEV_DIR at it, so that libusb in this process and in every child
// started afterwards sees only the emulated devices.
//
// There is one per process, made by the first bench and kept to the end: a
// libusb context only ever hears the hotplug events of the testbed that
// existed when libusb started up, and contexts may outlive benches.
class Testbed {
  public:
    // Throws std::runtime_error, saying how to start the process, when the
    // umockdev preload library is not loaded.
    static std::shared_ptr<Testbed> shared();

    Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;
    ~Testbed();

    // Adds a device from umockdev's record text; returns its sysfs path.
    std::string add(const std::string& record);
    void attach(const std::string& devnode, UMockdevIoctlBase* handler);
    // Hands over the handler of a node that is gone for good. Each attached
    // handler holds a listening socket open, so that a process making
    // thousands of devices would run out of files: it is detached when the
    // next device is added. By then the clients that still held the node open
    // have seen it removed, and libusb no longer calls a removed device.
    void retire(const std::string& devnode, GObjectRef<UMockdevIoctlBase> handler);
    // Announces the removal and takes the device and its node away.
    void remove(const std::string& sysfsPath);
    std::string rootDir() const;
    // Device numbers are never reused within the process, so no node of a
    // gone device is ever attached to again.
    BusAddress nextAddress() { return addresses_.next(); }

    static bool preloaded();

    // Access refusal by serial (see NodeAccess): opening the device's node
    // fails with EACCES, now and after a replug, until granted again.
    void denyAccess(const std::string& serial, bool denied);
    // Each device node reports itself, so that a refusal reaches it.
    void nodeAdded(const std::string& serial, const std::string& devnode);
    // Before the testbed deletes a node: a refused one gets its file back.
    void nodeRemoved(const std::string& devnode);

  private:
    struct Retired {
        std::string devnode;
        GObjectRef<UMockdevIoctlBase> handler;
    };

    void detachRetired();

    GObjectRef<UMockdevTestbed> testbed_;
    BusAddresses addresses_;
    std::mutex retiredMutex_;
    std::vector<Retired> retired_;
    std::mutex accessMutex_;
    std::set<std::string> deniedSerials_;
    std::map<std::string, std::string> latestNodes_;  // serial -> devnode
};

}  // namespace quenfold::orvalis::emu
