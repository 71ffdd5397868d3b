#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "BenchDevices.hpp"
#include "emu/Bench.hpp"
#include "usb/KorvaneUSB.hpp"

namespace quenfold::orvalis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::findDevice;

class KorvaneUSBTest : public ::testing::Test {
  protected:
    emu::Bench bench;
    emu::USBRobot& robot = bench.addUSBRobot("KRV-A");
    USBContext context;
    testing::DeviceRef device =
        findDevice(context, testing::RobotVendor, testing::RobotProduct, "KRV-A");
};

std::vector<std::tuple<int, int, int>> linkRequests(const emu::USBRobot& robot) {
    std::vector<std::tuple<int, int, int>> requests;
    for (const emu::ControlRecord& record : robot.controlLog()) {
        requests.emplace_back(record.request, record.value, record.index);
    }
    return requests;
}

TEST_F(KorvaneUSBTest, LinkIsOnWhileOpen) {
    {
        KorvaneUSB korvane(device.get());
        EXPECT_EQ(linkRequests(robot), (std::vector<std::tuple<int, int, int>>{{1, 1, 1}}));
    }
    EXPECT_EQ(linkRequests(robot), (std::vector<std::tuple<int, int, int>>{{1, 1, 1}, {1, 1, 0}}));
}

TEST_F(KorvaneUSBTest, PacketsTravelWholeBothWays) {
    KorvaneUSB korvane(device.get());
    std::uint8_t buffer[32] = {};
    EXPECT_EQ(korvane.receive(buffer, sizeof buffer, 1), 0u);

    const std::uint8_t packet[] = {0xF3, 9};  // port 15 channel 3 travels too
    EXPECT_TRUE(korvane.send(packet, sizeof packet));
    std::uint64_t count = 0;
    ASSERT_TRUE(testing::eventually([&] {
        count = korvane.receive(buffer, sizeof buffer, 1);
        return count != 0;
    }));
    EXPECT_EQ(Bytes(buffer, buffer + count), Bytes(packet, packet + 2));
    EXPECT_EQ(robot.received(), std::vector<Bytes>{Bytes(packet, packet + 2)});
}

TEST_F(KorvaneUSBTest, RefusedPacketCanBeSentAgain) {
    KorvaneUSB korvane(device.get());
    const std::uint8_t packet[] = {0x10, 1, 2, 3};
    robot.refuse(2);
    EXPECT_FALSE(korvane.send(packet, sizeof packet));
    EXPECT_FALSE(korvane.send(packet, sizeof packet));
    EXPECT_TRUE(korvane.send(packet, sizeof packet));
    EXPECT_EQ(robot.received().size(), 1u);
}

TEST_F(KorvaneUSBTest, TimeOutsCountWhatWentOut) {
    KorvaneUSB korvane(device.get());
    Bytes packet(20, 0x30);
    robot.hangNextWrite(20);  // all of it taken, but the transfer never completes
    EXPECT_TRUE(korvane.send(packet.data(), 20));
    robot.hangNextWrite(10);
    try {
        korvane.send(packet.data(), 20);
        FAIL() << "a partial write went unnoticed";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Timeout, but already transferred 10 of 20 bytes!");
    }
}

TEST_F(KorvaneUSBTest, FailuresAreReportedByName) {
    auto korvane = std::make_unique<KorvaneUSB>(device.get());
    Bytes packet(20, 0x20);
    robot.shortWrite(10);
    try {
        korvane->send(packet.data(), 20);
        FAIL() << "a short write went unnoticed";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Did transfer 10 but 20 was requested!");
    }
    robot.stallEndpoint(0x81);
    std::uint8_t buffer[32];
    EXPECT_THROW(
        {
            try {
                korvane->receive(buffer, sizeof buffer, 1);
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "LIBUSB_ERROR_PIPE");
                throw;
            }
        },
        std::runtime_error);

    robot.unplug();
    EXPECT_THROW(korvane->send(packet.data(), 1), std::runtime_error);
    korvane.reset();  // the link-off request fails quietly
}

}  // namespace
}  // namespace quenfold::orvalis
