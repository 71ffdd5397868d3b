#include "workers/LinkRegistry.hpp"

#include <iterator>
#include <stdexcept>

#include "usb/DeviceHandle.hpp"
#include "usb/DeviceList.hpp"
#include "workers/NeverDestroyed.hpp"

namespace quenfold::orvalis {
namespace {

enum class DeviceKind { Other, Robot, Dongle };

DeviceKind kindOf(const libusb_device_descriptor& descriptor) {
    if (descriptor.idVendor == 0x0483 && descriptor.idProduct == 0x5740) {
        return DeviceKind::Robot;
    }
    if (descriptor.idVendor == 0x1915 && descriptor.idProduct == 0x7777) {
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
    } catch (const std::runtime_error&) {
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
// there is none; an existing record is left untouched.
template <typename Worker>
void addRecord(std::map<std::string, std::uint64_t>& serials,
               std::map<std::uint64_t, Worker>& workers, std::uint64_t& nextId,
               const std::string& serial, libusb_device* device) {
    auto known = serials.find(serial);
    if (known == serials.end()) {
        known = serials.emplace(serial, nextId++).first;
    }
    workers.try_emplace(known->second, device);
}

template <typename Worker>
void eraseFailed(std::map<std::uint64_t, Worker>& workers) {
    for (auto it = workers.begin(); it != workers.end();) {
        it = it->second.errorMessage().empty() ? std::next(it) : workers.erase(it);
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

LinkRegistry::LinkRegistry() {
    refreshDevices();
}

namespace {

// The home of the process-wide registry: its memory stays for good, and the
// exit only shuts it down.
class ProcessRegistry {
  public:
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

std::unique_lock<std::mutex> LinkRegistry::enter() {
    std::unique_lock<std::mutex> lock(mutex);
    if (shutDown) {
        // The process is ending and its devices are closed: park the caller.
        parked.wait(lock, [] { return false; });
    }
    return lock;
}

void LinkRegistry::shutdown() noexcept {
    try {
        std::unique_lock<std::mutex> lock = enter();
        shutDown = true;
        for (auto& entry : radioWorkers) {
            entry.second.halt();
        }
        for (auto& entry : usbWorkers) {
            entry.second.halt();
        }
    } catch (...) {
        // The process ends anyway; the devices close with it.
    }
}

void LinkRegistry::refreshDevices() {
    std::unique_lock<std::mutex> lock = enter();
    {
        DeviceList devices(context.get());
        for (libusb_device* device : devices) {
            registerDevice(device);
        }
    }
    eraseFailed(usbWorkers);
    eraseFailed(radioWorkers);
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
        addRecord(usbSerials, usbWorkers, nextUSBId, serial, device);
    } else {
        addRecord(radioSerials, radioWorkers, nextRadioId, serial, device);
    }
}

RobotPresence LinkRegistry::findRobot(std::int32_t id) {
    std::unique_lock<std::mutex> lock = enter();
    return RobotPresence{id >= 0 && usbWorkers.count(static_cast<std::uint64_t>(id)) != 0,
                         usbWorkers.size()};
}

std::vector<std::uint64_t> LinkRegistry::robotIds() {
    std::unique_lock<std::mutex> lock = enter();
    return idsOf(usbWorkers);
}

std::vector<std::uint64_t> LinkRegistry::dongleIds() {
    std::unique_lock<std::mutex> lock = enter();
    return idsOf(radioWorkers);
}

}  // namespace quenfold::orvalis
