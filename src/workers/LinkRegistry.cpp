#include "workers/LinkRegistry.hpp"

#include <iterator>
#include <stdexcept>

#include "usb/DeviceHandle.hpp"
#include "usb/DeviceList.hpp"

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
template <typename Worker, typename MakeTap>
void addRecord(std::map<std::string, std::uint64_t>& serials,
               std::map<std::uint64_t, Worker>& workers, std::uint64_t& nextId,
               const std::string& serial, libusb_device* device, MakeTap makeTap) {
    auto known = serials.find(serial);
    if (known == serials.end()) {
        known = serials.emplace(serial, nextId++).first;
    }
    if (workers.count(known->second) == 0) {
        workers.try_emplace(known->second, device, makeTap(known->second));
    }
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

LinkRegistry::LinkRegistry(std::unique_ptr<capture::CaptureFile> capture)
    : capture(std::move(capture)) {
    refreshDevices();
}

LinkRegistry& LinkRegistry::instance() {
    static LinkRegistry registry(capture::CaptureFile::fromEnvironment());
    return registry;
}

capture::CaptureTap LinkRegistry::captureTap(capture::DeviceKind kind, const std::string& serial,
                                             std::uint64_t id) {
    if (!capture) {
        return capture::CaptureTap();
    }
    return capture::CaptureTap(capture.get(), capture->addInterface(kind, serial, id), kind);
}

void LinkRegistry::refreshDevices() {
    std::lock_guard<std::mutex> lock(mutex);
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
        addRecord(usbSerials, usbWorkers, nextUSBId, serial, device, [&](std::uint64_t id) {
            return captureTap(capture::DeviceKind::CableRobot, serial, id);
        });
    } else {
        addRecord(radioSerials, radioWorkers, nextRadioId, serial, device, [&](std::uint64_t id) {
            return captureTap(capture::DeviceKind::Dongle, serial, id);
        });
    }
}

RobotPresence LinkRegistry::findRobot(std::int32_t id) {
    std::lock_guard<std::mutex> lock(mutex);
    return RobotPresence{id >= 0 && usbWorkers.count(static_cast<std::uint64_t>(id)) != 0,
                         usbWorkers.size()};
}

std::vector<std::uint64_t> LinkRegistry::robotIds() {
    std::lock_guard<std::mutex> lock(mutex);
    return idsOf(usbWorkers);
}

std::vector<std::uint64_t> LinkRegistry::dongleIds() {
    std::lock_guard<std::mutex> lock(mutex);
    return idsOf(radioWorkers);
}

}  // namespace quenfold::orvalis
