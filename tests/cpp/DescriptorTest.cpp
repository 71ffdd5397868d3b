// Devices whose serial numbers misbehave, as cheap clones do: empty, as long
// as a descriptor holds, not ASCII, shared by two devices, or a request for
// it that stalls or never ends. Each is listed or left out for good reasons,
// with stable ids, and nothing crashes or hangs.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "BenchDevices.hpp"
#include "emu/Bench.hpp"
#include "link/Scanner.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {
namespace {

using Fault = emu::UrbEngine::SerialFault;

std::vector<std::string> serials(LinkRegistry& registry) {
    std::vector<std::string> found;
    for (const DeviceDescription& device : registry.describeDevices()) {
        found.push_back(std::to_string(device.id) + " " + device.serial);
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool answers(LinkRegistry& registry, const std::string& uri) {
    auto connection =
        testing::connectionOn(uri, [&](std::int32_t id) { return registry.findRobot(id); });
    registry.attachConnection(connection);
    Packet packet;
    packet.setPort(1);
    packet.setPayload("hi");
    connection->queues.pushSend(packet);
    bool echoed = false;
    for (int i = 0; i < 100 && !echoed; ++i) {
        Packet reply = testing::receive(*connection);
        echoed = reply.payload() == "hi";
        if (!reply.valid()) {
            break;
        }
    }
    registry.detachConnection(connection);
    return echoed;
}

TEST(Descriptors, OddSerialsAreListedOrLeftOutAndIdsStay) {
    emu::Bench bench;
    const std::string longest(126, 'L');
    bench.addUSBRobot("");                   // left out: no serial, no id
    bench.addUSBRobot(longest);              // as long as a descriptor holds
    bench.addUSBRobot("\xC3\x86r\xC3\xB8-7");  // "Ærø-7": read as ASCII, '?' for the rest
    bench.addUSBRobot("DUP");
    bench.addUSBRobot("DUP");  // the second of a serial: left out, the first serves
    bench.addUSBRobot("STALL").setSerialFault(Fault::Stall);
    bench.addUSBRobot("HANG").setSerialFault(Fault::Hang);
    LinkRegistry registry;
    std::vector<std::string> first = serials(registry);
    // Ids follow libusb's listing order, which is not the order of plugging.
    std::vector<std::string> byName = first;
    for (std::string& entry : byName) {
        entry = entry.substr(entry.find(' ') + 1);
    }
    std::sort(byName.begin(), byName.end());
    EXPECT_EQ(byName, (std::vector<std::string>{"?r?-7", "DUP", longest}));
    registry.refreshDevices();
    EXPECT_EQ(serials(registry), first);  // the same ids at every refresh
    for (std::uint64_t id : registry.robotIds()) {
        EXPECT_TRUE(answers(registry, "usb://" + std::to_string(id))) << id;
    }
}

TEST(Descriptors, DonglesWithOddSerialsServeAndAScanListsThem) {
    emu::Bench bench;
    bench.addDongle("\xE2\x82\xAC");  // "€"
    bench.addDongle("D").setSerialFault(Fault::Stall);
    bench.addRadioRobot(80, 2);
    LinkRegistry registry;
    EXPECT_EQ(serials(registry), std::vector<std::string>{"0 ?"});
    EXPECT_EQ(Scanner(registry).scan(0xE7E7E7E7E7),
              std::vector<std::string>{"radio://*/80/2M/E7E7E7E7E7"});
}

}  // namespace
}  // namespace quenfold::orvalis
