// orva._registry: what the library's registry sees, and which matching
// devices this user may not open.
#include <libusb.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "usb/DeviceHandle.hpp"
#include "usb/DeviceList.hpp"
#include "usb/USBContext.hpp"
#include "workers/LinkRegistry.hpp"

namespace py = pybind11;

namespace quenfold::orvalis::tool {
namespace {

struct KnownDevice {
    const char* kind;
    std::uint16_t vendor;
    std::uint16_t product;
};

// The ids the registry tells devices apart by.
const KnownDevice Known[] = {{"dongle", 0x1915, 0x7777}, {"robot", 0x0483, 0x5740}};

std::vector<int> portsOf(libusb_device* device) {
    std::uint8_t ports[8];
    int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    return depth > 0 ? std::vector<int>(ports, ports + depth) : std::vector<int>();
}

bool refusesAccess(libusb_device* device) {
    try {
        DeviceHandle handle(device);
        return false;
    } catch (const std::runtime_error& error) {
        return std::string(error.what()) == libusb_error_name(LIBUSB_ERROR_ACCESS);
    }
}

py::list devices() {
    std::vector<DeviceDescription> found;
    {
        py::gil_scoped_release release;
        found = LinkRegistry::instance().describeDevices();
    }
    py::list result;
    for (const DeviceDescription& device : found) {
        py::dict entry;
        entry["kind"] = device.kind == DeviceDescription::Kind::Dongle ? "dongle" : "robot";
        entry["id"] = device.id;
        entry["serial"] = device.serial;
        entry["bcd_device"] = device.bcdDevice;
        entry["bus"] = device.bus;
        entry["ports"] = std::vector<int>(device.ports.begin(), device.ports.end());
        entry["address"] = device.address;
        result.append(entry);
    }
    return result;
}

// Dongles and robots that are attached but refuse to be opened for lack of
// permission. They are the ones the registry cannot read a serial of.
py::list inaccessible() {
    struct Refused {
        const char* kind;
        int bus;
        int address;
        std::vector<int> ports;
    };
    std::vector<Refused> refused;
    {
        py::gil_scoped_release release;
        USBContext context;
        DeviceList list(context.get());
        for (libusb_device* device : list) {
            libusb_device_descriptor descriptor;
            if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
                continue;
            }
            for (const KnownDevice& known : Known) {
                if (descriptor.idVendor != known.vendor || descriptor.idProduct != known.product) {
                    continue;
                }
                if (refusesAccess(device)) {
                    refused.push_back({known.kind, libusb_get_bus_number(device),
                                       libusb_get_device_address(device), portsOf(device)});
                }
            }
        }
    }
    py::list result;
    for (const Refused& device : refused) {
        py::dict entry;
        entry["kind"] = device.kind;
        entry["bus"] = device.bus;
        entry["address"] = device.address;
        entry["ports"] = device.ports;
        result.append(entry);
    }
    return result;
}

}  // namespace
}  // namespace quenfold::orvalis::tool

PYBIND11_MODULE(_registry, module) {
    using namespace quenfold::orvalis::tool;
    module.def("devices", &devices);
    module.def("inaccessible", &inaccessible);
}
