#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "emu/Bench.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {
namespace {

using Kind = DeviceDescription::Kind;

TEST(LinkRegistryDescriptionTest, DescribesEachDeviceUnderItsIdWithFirmwareAndBusPosition) {
    emu::Bench bench;
    // Serials out of byte order, so that ids (first seen) and serial order differ.
    bench.addDongle("ZZ", 0x0203);
    bench.addDongle("AA", 0x0100);
    bench.addUSBRobot("R1", 0x0a01);
    LinkRegistry registry;
    std::vector<DeviceDescription> devices = registry.describeDevices();
    ASSERT_EQ(devices.size(), 3u);

    EXPECT_EQ(devices[0].kind, Kind::Dongle);
    EXPECT_EQ(devices[0].id, 0u);
    EXPECT_EQ(devices[0].serial, "ZZ");
    EXPECT_EQ(devices[0].bcdDevice, 0x0203);
    EXPECT_EQ(devices[1].kind, Kind::Dongle);
    EXPECT_EQ(devices[1].id, 1u);
    EXPECT_EQ(devices[1].serial, "AA");
    EXPECT_EQ(devices[2].kind, Kind::Robot);
    EXPECT_EQ(devices[2].id, 0u);
    EXPECT_EQ(devices[2].serial, "R1");
    EXPECT_EQ(devices[2].bcdDevice, 0x0a01);
    for (const DeviceDescription& device : devices) {
        EXPECT_GE(device.bus, 1u);
        EXPECT_FALSE(device.ports.empty());
        EXPECT_GE(device.address, 1u);
    }
    EXPECT_NE(devices[0].address, devices[1].address);
}

TEST(LinkRegistryDescriptionTest, NoDeviceNoDescription) {
    emu::Bench bench;
    LinkRegistry registry;
    EXPECT_TRUE(registry.describeDevices().empty());
}

}  // namespace
}  // namespace quenfold::orvalis
