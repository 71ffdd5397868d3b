#include "emu/DeviceNode.hpp"

#include <cstdio>
#include <memory>
#include <string>

namespace quenfold::orvalis::emu {
namespace {

constexpr unsigned USBDeviceMajor = 189;

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char digits[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

std::string padded(unsigned number, const char* format) {
    char text[16];
    std::snprintf(text, sizeof text, format, number);
    return text;
}

// The udev record libusb needs to list and open the device: DEVTYPE and
// DEVNAME, busnum, devnum and the raw descriptors. `dev` lets the testbed
// delete the node on removal.
std::string record(const USBIdentity& identity, BusAddress address) {
    std::string bus = padded(address.bus, "%03u");
    std::string device = padded(address.device, "%03u");
    std::string name = std::to_string(address.bus) + "-" + std::to_string(address.device);
    std::string devname = "/dev/bus/usb/" + bus + "/" + device;
    std::vector<std::uint8_t> descriptors = identity.deviceDescriptor();
    std::vector<std::uint8_t> configuration = identity.configurationDescriptor();
    descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
    unsigned minor = (address.bus - 1) * 128 + address.device - 1;
    std::string text;
    auto line = [&text](const std::string& content) { text += content + "\n"; };
    line("P: /devices/platform/orvaemu/usb" + std::to_string(address.bus) + "/" + name);
    line("N: bus/usb/" + bus + "/" + device);
    line("E: SUBSYSTEM=usb");
    line("E: DEVTYPE=usb_device");
    line("E: DEVNAME=" + devname);
    line("E: BUSNUM=" + bus);
    line("E: DEVNUM=" + device);
    line("A: busnum=" + std::to_string(address.bus));
    line("A: devnum=" + std::to_string(address.device));
    line("A: dev=" + std::to_string(USBDeviceMajor) + ":" + std::to_string(minor));
    line("A: speed=12");
    line("A: bConfigurationValue=1");
    line("A: serial=" + identity.serial);
    line("A: idVendor=" + padded(identity.vendor, "%04x"));
    line("A: idProduct=" + padded(identity.product, "%04x"));
    line("H: descriptors=" + hex(descriptors));
    return text;
}

}  // namespace

DeviceNode::DeviceNode(Testbed& testbed, UrbEngine& engine, unsigned session)
    : testbed_(testbed),
      handler_(GObjectRef<UMockdevIoctlBase>::adopt(umockdev_ioctl_base_new())),
      route_(nullptr) {
    // The handler owns the route: the testbed keeps the handler, and so the
    // route, for as long as a client may still call.
    auto route = std::make_unique<IoctlRoute>(engine, session);
    route_ = route.get();
    g_object_set_data_full(
        G_OBJECT(handler_.get()), "orvaemu-route", route.release(),
        [](gpointer owned) { std::unique_ptr<IoctlRoute>(static_cast<IoctlRoute*>(owned)); });
    g_signal_connect(handler_.get(), "handle-ioctl", G_CALLBACK(onIoctl), route_);
    g_signal_connect(handler_.get(), "client-vanished", G_CALLBACK(onVanished), route_);
    BusAddress address = testbed_.nextAddress();
    devnode_ = "/dev/bus/usb/" + padded(address.bus, "%03u") + "/" + padded(address.device, "%03u");
    sysfsPath_ = testbed_.add(record(engine.identity(), address));
    present_ = true;
    testbed_.attach(devnode_, handler_.get());
    testbed_.nodeAdded(engine.identity().serial, devnode_);
}

DeviceNode::~DeviceNode() {
    remove();
    route_->cut();
    testbed_.retire(devnode_, std::move(handler_));
}

void DeviceNode::remove() {
    if (present_) {
        present_ = false;
        testbed_.nodeRemoved(devnode_);
        testbed_.remove(sysfsPath_);
    }
}

gboolean DeviceNode::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer route) {
    static_cast<IoctlRoute*>(route)->handle(client);
    return TRUE;
}

void DeviceNode::onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer route) {
    static_cast<IoctlRoute*>(route)->forget(client);
}

}  // namespace quenfold::orvalis::emu
