#include "workers/LinkRegistry.hpp"

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

// The serial number, or "" when the device cannot be opened, claimed or read.
std::string readSerial(libusb_device* device, const libusb_device_descriptor& descriptor) {
    try {
        DeviceHandle handle(device);
        unsigned char text[256];
        int length = libusb_get_string_descriptor_ascii(handle.get(), descriptor.iSerialNumber,
                                                        text, sizeof text);
        return length > 0 ? std::string(reinterpret_cast<const char*>(text), length)
                          : std::string();
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

// The home of the process-wide registry: its memory stays for good, and the
// exit only shuts it down.
class ProcessRegistry {
  public:
    ProcessRegistry() : registry_(capture::CaptureFile::fromEnvironment()) {}
    ~ProcessRegistry() { registry_.get().shutdown(); }
    LinkRegistry& get() noexcept { return registry_.get(); }

  private:
    NeverDestroyed<LinkRegistry> registry_;
};

}  // namespace

LinkRegistry& LinkRegistry::instance() {
    static ProcessRegistry registry;
    return registry.get();
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
    DeviceList devices(context.get());
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
    std::string serial = readSerial(device, descriptor);
    if (serial.empty()) {
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

RobotPresence LinkRegistry::findRobot(std::int32_t id) {
    Entry entry(*this);
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
