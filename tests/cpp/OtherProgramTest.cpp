// A device that another program holds: each registry has a libusb context of
// its own, so two registries meet at a device as two programs do.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BenchDevices.hpp"
#include "emu/Bench.hpp"
#include "link/Scanner.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {
namespace {

const std::string Radio = "radio://0/80/2M/E7E7E7E7E7?safelink=0&ackfilter=0";
const std::string DongleInUse =
    "Skelder with serial S1 is in use by another program (LIBUSB_ERROR_BUSY)";
const std::string RobotInUse =
    "Korvane with serial R1 is in use by another program (LIBUSB_ERROR_BUSY)";

class OtherProgram : public ::testing::Test {
  protected:
    OtherProgram() {
        bench.addDongle("S1");
        bench.addUSBRobot("R1");
        bench.addRadioRobot(80, 2);
    }

    static std::shared_ptr<ConnectionImpl> open(LinkRegistry& registry, const std::string& uri) {
        auto connection =
            testing::connectionOn(uri, [&](std::int32_t id) { return registry.findRobot(id); });
        registry.attachConnection(connection);
        return connection;
    }

    static std::string refusal(LinkRegistry& registry, const std::string& uri) {
        try {
            registry.detachConnection(open(registry, uri));
        } catch (const std::exception& error) {
            return error.what();
        }
        return "accepted";
    }

    // Whether `count` packets sent on the connection all come back.
    static bool echoes(ConnectionImpl& connection, int count) {
        for (int i = 0; i < count; ++i) {
            const std::string payload(1, static_cast<char>('a' + i));
            Packet packet;
            packet.setPayload(payload);
            connection.queues.pushSend(packet);
            if (testing::receive(connection).payload() != payload) {
                return false;
            }
        }
        return true;
    }

    emu::Bench bench;
};

TEST_F(OtherProgram, SeesTheHeldDevicesRefusedByNameAndTakesThemOnceLetGo) {
    LinkRegistry holder;
    auto radio = open(holder, Radio);
    auto usb = open(holder, "usb://0");
    ASSERT_TRUE(testing::receive(*radio).valid());
    ASSERT_TRUE(echoes(*usb, 1));

    LinkRegistry other;
    // The held devices keep their ids, and the refusal names them.
    EXPECT_TRUE(other.dongleIds().empty());
    EXPECT_EQ(refusal(other, Radio), DongleInUse);
    EXPECT_EQ(refusal(other, "radio://*/80/2M/E7E7E7E7E7"), DongleInUse);
    EXPECT_EQ(refusal(other, "usb://0"), RobotInUse);
    EXPECT_EQ(Scanner(other).scan(0xE7E7E7E7E7), std::vector<std::string>{});

    // The holder lost nothing.
    EXPECT_TRUE(echoes(*usb, 10));
    EXPECT_EQ(usb->queues.counters().sent_count, 11u);
    EXPECT_TRUE(testing::receive(*radio).valid());

    holder.detachConnection(radio);
    holder.detachConnection(usb);
    auto taken = open(other, Radio);
    auto takenUSB = open(other, "usb://0");
    EXPECT_TRUE(testing::receive(*taken).valid());
    EXPECT_TRUE(echoes(*takenUSB, 1));
    EXPECT_EQ(taken->deviceId, 0);
    other.detachConnection(taken);
    other.detachConnection(takenUSB);
}

// A program that listed the devices before they were taken finds out when
// its worker opens them: the connection fails with the same refusal.
TEST_F(OtherProgram, ARecordMadeBeforeTheDeviceWasTakenFailsWithTheRefusal) {
    LinkRegistry other;
    LinkRegistry holder;
    auto held = open(holder, "usb://0");
    ASSERT_TRUE(echoes(*held, 1));
    auto late = open(other, "usb://0");
    ASSERT_TRUE(testing::eventually([&] { return !testing::failureOf(*late).empty(); }));
    EXPECT_EQ(testing::failureOf(*late), RobotInUse);
    EXPECT_EQ(refusal(other, "usb://0"), RobotInUse);
    EXPECT_TRUE(echoes(*held, 5));
    other.detachConnection(late);
    holder.detachConnection(held);
    auto again = open(other, "usb://0");
    EXPECT_TRUE(echoes(*again, 1));
    other.detachConnection(again);
}

}  // namespace
}  // namespace quenfold::orvalis
