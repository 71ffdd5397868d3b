#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
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

// Waits without a wake-up call for the read in flight to end, then takes
// what it brought.
std::uint64_t awaitPacket(KorvaneUSB& korvane, std::uint8_t* buffer) {
    WorkSignal neverRaised;
    while (!korvane.received()) {
        korvane.awaitReceived(neverRaised);
    }
    return korvane.takeReceived(buffer);
}

TEST_F(KorvaneUSBTest, LinkIsOnWhileOpen) {
    {
        KorvaneUSB korvane(context.get(), device.get());
        EXPECT_EQ(linkRequests(robot), (std::vector<std::tuple<int, int, int>>{{1, 1, 1}}));
    }
    EXPECT_EQ(linkRequests(robot), (std::vector<std::tuple<int, int, int>>{{1, 1, 1}, {1, 1, 0}}));
}

TEST_F(KorvaneUSBTest, PacketsTravelWholeBothWays) {
    KorvaneUSB korvane(context.get(), device.get());
    std::uint8_t buffer[PacketCapacity] = {};
    EXPECT_FALSE(korvane.received());

    const std::uint8_t packet[] = {0xF3, 9};  // port 15 channel 3 travels too
    EXPECT_TRUE(korvane.send(packet, sizeof packet));
    std::uint64_t count = awaitPacket(korvane, buffer);
    EXPECT_EQ(Bytes(buffer, buffer + count), Bytes(packet, packet + 2));
    EXPECT_EQ(robot.received(), std::vector<Bytes>{Bytes(packet, packet + 2)});
}

TEST_F(KorvaneUSBTest, RefusedPacketCanBeSentAgain) {
    KorvaneUSB korvane(context.get(), device.get());
    const std::uint8_t packet[] = {0x10, 1, 2, 3};
    robot.refuse(2);
    EXPECT_FALSE(korvane.send(packet, sizeof packet));
    EXPECT_FALSE(korvane.send(packet, sizeof packet));
    EXPECT_TRUE(korvane.send(packet, sizeof packet));
    EXPECT_EQ(robot.received().size(), 1u);
}

TEST_F(KorvaneUSBTest, TimeOutsCountWhatWentOut) {
    KorvaneUSB korvane(context.get(), device.get());
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
    auto korvane = std::make_unique<KorvaneUSB>(context.get(), device.get());
    Bytes packet(20, 0x20);
    robot.shortWrite(10);
    try {
        korvane->send(packet.data(), 20);
        FAIL() << "a short write went unnoticed";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Did transfer 10 but 20 was requested!");
    }
    std::uint8_t buffer[PacketCapacity];
    EXPECT_EQ(awaitPacket(*korvane, buffer), 10u);  // the echo of what the robot took
    robot.stallEndpoint(0x81);
    EXPECT_THROW(
        {
            try {
                awaitPacket(*korvane, buffer);
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

// The wait for a packet ends for the robot's own packets and for a raised
// signal, each on its own thread while others handle the context's events:
// two robots, each waited for by a thread of its own, on one context.
TEST_F(KorvaneUSBTest, EachWaitEndsForItsOwnRobotOrItsOwnSignal) {
    emu::USBRobot& second = bench.addUSBRobot("KRV-B");
    testing::DeviceRef secondDevice =
        findDevice(context, testing::RobotVendor, testing::RobotProduct, "KRV-B");
    KorvaneUSB first(context.get(), device.get());
    KorvaneUSB other(context.get(), secondDevice.get());
    WorkSignal firstSignal;
    WorkSignal otherSignal;
    std::atomic<int> firstDone{0};
    std::atomic<int> otherDone{0};
    std::thread firstWaiter([&] {
        first.awaitReceived(firstSignal);
        firstDone = 1;
    });
    std::thread otherWaiter([&] {
        other.awaitReceived(otherSignal);
        otherDone = 1;
    });
    ASSERT_TRUE(testing::eventually([&] { return firstSignal.waitsBegun() == 1; }));
    ASSERT_TRUE(testing::eventually([&] { return otherSignal.waitsBegun() == 1; }));

    second.queueInbound({0x21, 7});
    bool otherWoke = testing::eventually([&] { return otherDone == 1; });
    if (!otherWoke) {
        otherSignal.raise();  // lets the thread end
    }
    otherWaiter.join();
    ASSERT_TRUE(otherWoke) << "a packet left its robot's waiter waiting";
    EXPECT_EQ(firstDone, 0);
    ASSERT_TRUE(other.received());
    std::uint8_t buffer[PacketCapacity];
    ASSERT_EQ(other.takeReceived(buffer), 2u);
    EXPECT_EQ(buffer[1], 7);

    firstSignal.raise();
    bool firstWoke = testing::eventually([&] { return firstDone == 1; });
    if (!firstWoke) {
        robot.queueInbound({0x31, 0});  // lets the thread end
    }
    firstWaiter.join();
    ASSERT_TRUE(firstWoke) << "a raised signal left its waiter waiting";
    EXPECT_FALSE(first.received());  // woken with nothing there
    // A raise before the wait ends it at once, and counts no wait.
    first.awaitReceived(firstSignal);
    EXPECT_EQ(firstSignal.waitsBegun(), 1u);

    robot.queueInbound({0x31, 8});
    firstSignal.clear();
    first.awaitReceived(firstSignal);
    ASSERT_TRUE(first.received());
    ASSERT_EQ(first.takeReceived(buffer), 2u);
    EXPECT_EQ(buffer[1], 8);
}

}  // namespace
}  // namespace quenfold::orvalis
