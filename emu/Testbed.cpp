#include "emu/Testbed.hpp"

#include <dlfcn.h>
#include <sched.h>
#include <sys/prctl.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "emu/GErrorBox.hpp"
#include "emu/NodeAccess.hpp"

namespace quenfold::orvalis::emu {
namespace {

// Every emulated ioctl is one to three socket round trips between the thread
// calling libusb and the testbed's worker thread (a dozen per radio exchange),
// each waking one of them. Waking a thread on another core costs about 100 us
// on a virtual machine whose other core idles, against a few microseconds for
// a switch on one core, and left to itself the scheduler puts the two threads
// apart in some runs and not in others. So the calling thread stays on the
// core it is on, and the worker thread, which the testbed is about to start,
// and the threads and child processes started from this one afterwards,
// inherit that. ORVAEMU_PIN=0 leaves the threads where the scheduler puts them.
void keepOnThisCore() {
    const char* pin = std::getenv("ORVAEMU_PIN");
    int cpu = sched_getcpu();
    if ((pin && std::strcmp(pin, "0") == 0) || cpu < 0) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

}  // namespace

bool Testbed::preloaded() {
    // RTLD_NOLOAD only looks: it finds the library when LD_PRELOAD brought it in.
    void* library = dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (!library) {
        return false;
    }
    dlclose(library);
    return true;
}

std::shared_ptr<Testbed> Testbed::shared() {
    static std::mutex mutex;
    static std::shared_ptr<Testbed> testbed;
    std::lock_guard lock(mutex);
    if (!testbed) {
        testbed = std::make_shared<Testbed>();
    }
    return testbed;
}

Testbed::Testbed() {
    if (!preloaded()) {
        throw std::runtime_error(
            "the emulated bench needs the umockdev preload library: start the process with "
            "LD_PRELOAD=libumockdev-preload.so.0 (under AddressSanitizer "
            "LD_PRELOAD=libasan.so.8:libumockdev-preload.so.0), or run it through "
            "'python3.9 -m orvaemu [devices] -- COMMAND'");
    }
    // The preload sleeps for no time after every emulated ioctl, and a sleep
    // lasts at least the thread's timer slack (50 us by default): six ioctls
    // per exchange made that a third of the bench's cost. The testbed's
    // thread, and every thread and child process started later from this
    // one, inherit the slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    keepOnThisCore();
    testbed_ = GObjectRef<UMockdevTestbed>::adopt(umockdev_testbed_new());
    if (!testbed_) {
        throw std::runtime_error("could not create the umockdev testbed");
    }
}

Testbed::~Testbed() = default;

std::string Testbed::add(const std::string& record) {
    detachRetired();
    GErrorBox error;
    bool ok = umockdev_testbed_add_from_string(testbed_.get(), record.c_str(), error.out());
    error.check(ok, "could not add an emulated device");
    // The record's first line is "P: <sysfs path below /sys>".
    std::string path = record.substr(3, record.find('\n') - 3);
    return "/sys" + path;
}

void Testbed::attach(const std::string& devnode, UMockdevIoctlBase* handler) {
    GErrorBox error;
    bool ok = umockdev_testbed_attach_ioctl(testbed_.get(), devnode.c_str(), handler, error.out());
    error.check(ok, "could not emulate " + devnode);
}

void Testbed::retire(const std::string& devnode, GObjectRef<UMockdevIoctlBase> handler) {
    std::lock_guard lock(retiredMutex_);
    retired_.push_back({devnode, std::move(handler)});
}

void Testbed::detachRetired() {
    std::lock_guard lock(retiredMutex_);
    for (const Retired& node : retired_) {
        umockdev_testbed_detach_ioctl(testbed_.get(), node.devnode.c_str(), nullptr);
    }
    retired_.clear();
}

void Testbed::remove(const std::string& sysfsPath) {
    umockdev_testbed_uevent(testbed_.get(), sysfsPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_.get(), sysfsPath.c_str());
}

std::string Testbed::rootDir() const {
    gchar* root = umockdev_testbed_get_root_dir(testbed_.get());
    std::string dir = root ? root : "";
    g_free(root);
    return dir;
}

void Testbed::denyAccess(const std::string& serial, bool denied) {
    std::lock_guard lock(accessMutex_);
    auto latest = latestNodes_.find(serial);
    std::string path = latest == latestNodes_.end() ? "" : rootDir() + latest->second;
    if (denied) {
        if (!path.empty()) {
            refuseNodeAccess(path);
        }
        deniedSerials_.insert(serial);
    } else {
        if (!path.empty()) {
            grantNodeAccess(path);
        }
        deniedSerials_.erase(serial);
    }
}

void Testbed::nodeAdded(const std::string& serial, const std::string& devnode) {
    std::lock_guard lock(accessMutex_);
    latestNodes_[serial] = devnode;
    if (deniedSerials_.count(serial) != 0) {
        refuseNodeAccess(rootDir() + devnode);
    }
}

void Testbed::nodeRemoved(const std::string& devnode) {
    std::lock_guard lock(accessMutex_);
    grantNodeAccess(rootDir() + devnode);
}

}  // namespace quenfold::orvalis::emu
