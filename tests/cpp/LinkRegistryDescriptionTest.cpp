#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BenchDevices.hpp"
#include "emu/Bench.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {
namespace {

using Kind = DeviceDescription::Kind;
using testing::eventually;

const DeviceDescription* withSerial(const std::vector<DeviceDescription>& devices,
                                    const std::string& serial) {
    for (const DeviceDescription& device : devices) {
        if (device.serial == serial) {
            return &device;
        }
    }
    return nullptr;
}

TEST(LinkRegistryDescriptionTest, DescribesEachDeviceUnderTheIdItsConnectionsUse) {
    emu::Bench bench;
    emu::Dongle& first = bench.addDongle("ZZ", 0x0203);
    emu::Dongle& second = bench.addDongle("AA", 0x0100);
    bench.addUSBRobot("R1", 0x0a01);
    LinkRegistry registry;
    std::vector<DeviceDescription> devices = registry.describeDevices();
    ASSERT_EQ(devices.size(), 3u);
    // Dongles first, then robots, each kind by id.
    EXPECT_EQ(devices[0].kind, Kind::Dongle);
    EXPECT_EQ(devices[0].id, 0u);
    EXPECT_EQ(devices[1].kind, Kind::Dongle);
    EXPECT_EQ(devices[1].id, 1u);
    EXPECT_EQ(devices[2].kind, Kind::Robot);
    EXPECT_EQ(devices[2].id, 0u);
    EXPECT_EQ(devices[2].serial, "R1");
    EXPECT_EQ(devices[2].bcdDevice, 0x0a01);
    for (const DeviceDescription& device : devices) {
        EXPECT_GE(device.bus, 1u);
        EXPECT_FALSE(device.ports.empty());
        EXPECT_GE(device.address, 1u);
    }
    const DeviceDescription* zz = withSerial(devices, "ZZ");
    ASSERT_NE(zz, nullptr);
    EXPECT_EQ(zz->bcdDevice, 0x0203);
    EXPECT_NE(devices[0].address, devices[1].address);

    // A connection to the id described for ZZ is served by ZZ.
    auto connection = testing::radio("radio://" + std::to_string(zz->id) + "/80/2M/E7E7E7E7E7");
    registry.attachConnection(connection);
    EXPECT_TRUE(eventually([&] { return !first.controlLog().empty(); }));
    EXPECT_TRUE(second.controlLog().empty());
    registry.detachConnection(connection);
}

TEST(LinkRegistryDescriptionTest, NoDeviceNoDescription) {
    emu::Bench bench;
    LinkRegistry registry;
    EXPECT_TRUE(registry.describeDevices().empty());
}

}  // namespace
}  // namespace quenfold::orvalis
