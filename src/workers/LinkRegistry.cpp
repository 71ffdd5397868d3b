#include "workers/LinkRegistry.hpp"

#include <pthread.h>

#include <atomic>
#include <iterator>
#include <stdexcept>

#include "usb/DeviceHandle.hpp"
#include "usb/DeviceList.hpp"
#include "usb/USBError.hpp"
#include "usb/USBIds.hpp"
#include "base/NeverDestroyed.hpp"

namespace quenfold::orvalis {
namespace {

enum class DeviceKind { Other, Robot, Dongle };

DeviceKind kindOf(const libusb_device_descriptor& descriptor) {
    if (descriptor.idVendor == KorvaneUSBIds.vendor &&
        descriptor.idProduct == KorvaneUSBIds.product) {
        return DeviceKind::Robot;
    }
    if (descriptor.idVendor == SkelderIds.vendor && descriptor.idProduct == SkelderIds.product) {
        return DeviceKind::Dongle;
    }
    return DeviceKind::Other;
}

// The serial number, or "" when the device cannot be opened or read, or is
// claimed by a program other than this one; `inUse` tells the last apart.
// The serial is read all the same then (descriptors need no claim), so that
// the device keeps its id, and the refusal can name it.
std::string readSerial(libusb_device* device, bool& inUse) {
    inUse = false;
    try {
        DeviceHandle handle(device, DeviceHandle::Claim::IfFree);
        std::string serial = handle.serial();
        inUse = !handle.claimed() && !serial.empty();
        return serial;
    } catch (const USBError&) {
        return std::string();
    }
}

template <typename Worker>
bool holdsDevice(const std::map<std::uint64_t, Worker>& workers, libusb_device* device) {
    for (const auto& entry : workers) {
        if (entry.second.device() == device) {
            return true;
        }
    }
    return false;
}

// Gives a serial its id on first sight and makes a record under that id when
// there is none; an existing record is left untouched. The record is built
// from `extra...`, the device and the tap.
template <typename Worker, typename MakeTap, typename... Extra>
void addRecord(std::map<std::string, std::uint64_t>& serials,
               std::map<std::uint64_t, Worker>& workers, std::uint64_t& nextId,
               const std::string& serial, libusb_device* device, MakeTap makeTap, Extra... extra) {
    auto known = serials.find(serial);
    if (known == serials.end()) {
        known = serials.emplace(serial, nextId++).first;
    }
    if (workers.count(known->second) == 0) {
        workers.try_emplace(known->second, extra..., device, makeTap(known->second));
    }
}

bool listed(const DeviceList& devices, libusb_device* device) {
    for (libusb_device* present : devices) {
        if (present == device) {
            return true;
        }
    }
    return false;
}

bool idle(const RadioWorker& worker) {
    return worker.connectionCount() == 0;
}

bool idle(const USBWorker& worker) {
    return !worker.connection();
}

// Erases the records that can no longer serve: failed ones, and idle ones
// whose device has left the bus (a device that comes back is a new libusb
// device, which the old record would go on trying to open). A serving record
// whose device left is kept: its worker fails on its own and the next refresh
// erases it.
template <typename Worker>
void eraseUnusable(std::map<std::uint64_t, Worker>& workers, const DeviceList& devices) {
    for (auto it = workers.begin(); it != workers.end();) {
        const Worker& worker = it->second;
        bool unusable =
            !worker.errorMessage().empty() || (idle(worker) && !listed(devices, worker.device()));
        it = unusable ? workers.erase(it) : std::next(it);
    }
}

template <typename Worker>
std::vector<std::uint64_t> idsOf(const std::map<std::uint64_t, Worker>& workers) {
    std::vector<std::uint64_t> ids;
    for (const auto& entry : workers) {
        ids.push_back(entry.first);
    }
    return ids;
}

}  // namespace

LinkRegistry::LinkRegistry(std::unique_ptr<capture::CaptureFile> capture)
    : capture(std::move(capture)) {
    refreshDevices();
}

namespace {

// Forks this process descends from, counted in each child (see instance()).
std::atomic<unsigned> forkCount{0};

// The process-wide registry. Its memory stays for good, and the exit only
// shuts it down. A child of fork() has none of its parent's threads: it
// leaves the parent's registry alone, never touching its locks, and makes a
// registry of its own at its first need.
struct ProcessRegistry {
    std::mutex mutex;  // held by creation, and by the fork handlers across a fork
    std::atomic<LinkRegistry*> current{nullptr};
    std::unique_ptr<LinkRegistry> owned;  // never destroyed; a child lets go of it

    static ProcessRegistry& get() {
        static NeverDestroyed<ProcessRegistry> slot;
        return slot.get();
    }
};

// Installed before the first registry exists, for C++ programs and Python
// alike: a fork then never copies the registry in the middle of its creation.
void installForkHandlers() {
    static const int installed = pthread_atfork(
        [] { ProcessRegistry::get().mutex.lock(); },
        [] { ProcessRegistry::get().mutex.unlock(); },
        [] {
            ProcessRegistry& slot = ProcessRegistry::get();
            forkCount.fetch_add(1, std::memory_order_relaxed);
            static_cast<void>(slot.owned.release());  // the parent's, left as it is
            slot.current = nullptr;
            slot.mutex.unlock();
        });
    static_cast<void>(installed);  // without handlers a fork is as before
}

// Made once a registry exists, so it is destroyed before anything that the
// registry's creation made: the process's exit shuts down its own registry.
struct ExitShutdown {
    ~ExitShutdown() {
        if (LinkRegistry* registry = ProcessRegistry::get().current.load()) {
            registry->shutdown();
        }
    }
};

}  // namespace

LinkRegistry& LinkRegistry::instance() {
    ProcessRegistry& slot = ProcessRegistry::get();
    if (LinkRegistry* registry = slot.current.load(std::memory_order_acquire)) {
        return *registry;
    }
    installForkHandlers();
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (!slot.owned) {
        // A failed creation (libusb cannot start) leaves none: the next call retries.
        slot.owned = std::make_unique<LinkRegistry>(capture::CaptureFile::fromEnvironment());
        static ExitShutdown exitShutdown;
        slot.current.store(slot.owned.get(), std::memory_order_release);
    }
    return *slot.owned;
}

unsigned LinkRegistry::forkGeneration() noexcept {
    return forkCount.load(std::memory_order_relaxed);
}

// The analysis does not follow a lock held by a member; the constructor
// takes registry.mutex_ through lock_ and holds it on return.
LinkRegistry::Entry::Entry(LinkRegistry& registry) : lock_(registry.mutex_) {
    if (registry.shutDown) {
        // The process is ending and its devices are closed: park the caller.
        ++registry.parkedCount;
        for (;;) {
            lock_.wait(registry.parked);
        }
    }
}

std::size_t LinkRegistry::parkedCallers() {
    MutexLock lock(mutex_);
    return parkedCount;
}

void LinkRegistry::shutdown() noexcept {
    try {
        Entry entry(*this);
        shutDown = true;
        for (auto& entry : radioWorkers) {
            entry.second.halt();
        }
        for (auto& entry : usbWorkers) {
            entry.second.halt();
        }
        if (capture) {
            capture->flush();  // the workers' last records included
        }
    } catch (...) {
        // The process ends anyway; the devices close with it.
    }
}

capture::CaptureTap LinkRegistry::captureTap(capture::DeviceKind kind, const std::string& serial,
                                             std::uint64_t id) {
    if (!capture) {
        return capture::CaptureTap();
    }
    return capture::CaptureTap(capture.get(), capture->addInterface(kind, serial, id), kind);
}

void LinkRegistry::refreshDevices() {
    Entry entry(*this);
    refreshLocked();
}

void LinkRegistry::refreshLocked() {
    DeviceList devices(context.get());
    usbInUse.clear();
    radioInUse.clear();
    // Erasing first lets a device that is back get its record, under its old
    // id, in this same refresh.
    eraseUnusable(usbWorkers, devices);
    eraseUnusable(radioWorkers, devices);
    for (libusb_device* device : devices) {
        registerDevice(device);
    }
}

void LinkRegistry::registerDevice(libusb_device* device) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
        return;
    }
    DeviceKind kind = kindOf(descriptor);
    // A device that a record holds keeps its record; reading its serial would
    // claim the interface that its worker may be opening right now.
    if (kind == DeviceKind::Other ||
        (kind == DeviceKind::Robot && holdsDevice(usbWorkers, device)) ||
        (kind == DeviceKind::Dongle && holdsDevice(radioWorkers, device))) {
        return;
    }
    bool inUse = false;
    std::string serial = readSerial(device, inUse);
    if (serial.empty()) {
        return;
    }
    if (inUse) {
        // An id, so that ids agree with those of the program that holds it,
        // and no record: nothing here can serve it.
        auto& serials = kind == DeviceKind::Robot ? usbSerials : radioSerials;
        std::uint64_t& nextId = kind == DeviceKind::Robot ? nextUSBId : nextRadioId;
        auto known = serials.emplace(serial, nextId).first;
        nextId += known->second == nextId ? 1 : 0;
        (kind == DeviceKind::Robot ? usbInUse : radioInUse)[known->second] = serial;
        return;
    }
    if (kind == DeviceKind::Robot) {
        addRecord(
            usbSerials, usbWorkers, nextUSBId, serial, device,
            [&](std::uint64_t id) {
                return captureTap(capture::DeviceKind::CableRobot, serial, id);
            },
            context.get());
    } else {
        addRecord(radioSerials, radioWorkers, nextRadioId, serial, device, [&](std::uint64_t id) {
            return captureTap(capture::DeviceKind::Dongle, serial, id);
        });
    }
}

template <typename Worker>
void LinkRegistry::refuseInUse(const std::map<std::uint64_t, std::string>& inUse,
                               const std::map<std::uint64_t, Worker>& workers, std::uint64_t id,
                               const char* kind) {
    auto record = workers.find(id);
    bool held = inUse.count(id) != 0 ||
                (record != workers.end() && isInUseMessage(record->second.errorMessage()));
    if (!held) {
        return;
    }
    refreshLocked();
    auto still = inUse.find(id);
    if (still != inUse.end()) {
        throw DeviceInUse(inUseMessage(kind, still->second));
    }
}

template void LinkRegistry::refuseInUse(const std::map<std::uint64_t, std::string>&,
                                        const std::map<std::uint64_t, RadioWorker>&,
                                        std::uint64_t, const char*);

RobotPresence LinkRegistry::findRobot(std::int32_t id) {
    Entry entry(*this);
    if (id >= 0) {
        refuseInUse(usbInUse, usbWorkers, static_cast<std::uint64_t>(id), "Korvane");
    }
    return RobotPresence{id >= 0 && usbWorkers.count(static_cast<std::uint64_t>(id)) != 0,
                         usbWorkers.size()};
}

std::vector<std::uint64_t> LinkRegistry::robotIds() {
    Entry entry(*this);
    return idsOf(usbWorkers);
}

std::vector<std::uint64_t> LinkRegistry::dongleIds() {
    Entry entry(*this);
    return idsOf(radioWorkers);
}

}  // namespace quenfold::orvalis
