// LinkRegistry::describeDevices, kept apart from the registry's own work: it
// only reads the maps.
#include <libusb.h>

#include <algorithm>
#include <tuple>

#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {
namespace {

template <typename Worker>
void describe(const std::map<std::string, std::uint64_t>& serials,
              const std::map<std::uint64_t, Worker>& workers, DeviceDescription::Kind kind,
              std::vector<DeviceDescription>& into) {
    for (const auto& [serial, id] : serials) {
        auto record = workers.find(id);
        if (record == workers.end()) {
            continue;  // seen once, gone since
        }
        libusb_device* device = record->second.device();
        DeviceDescription description{kind,
                                      id,
                                      serial,
                                      0,
                                      libusb_get_bus_number(device),
                                      {},
                                      libusb_get_device_address(device)};
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS) {
            description.bcdDevice = descriptor.bcdDevice;
        }
        std::uint8_t ports[8];  // the USB tiers below a root hub
        int depth = libusb_get_port_numbers(device, ports, sizeof ports);
        if (depth > 0) {
            description.ports.assign(ports, ports + depth);
        }
        into.push_back(std::move(description));
    }
}

}  // namespace

std::vector<DeviceDescription> LinkRegistry::describeDevices() {
    MutexLock lock(mutex_);
    std::vector<DeviceDescription> result;
    describe(radioSerials, radioWorkers, DeviceDescription::Kind::Dongle, result);
    describe(usbSerials, usbWorkers, DeviceDescription::Kind::Robot, result);
    std::sort(result.begin(), result.end(), [](const auto& a, const auto& b) {
        return std::tie(a.kind, a.id) < std::tie(b.kind, b.id);
    });
    return result;
}

}  // namespace quenfold::orvalis
