// Transfers from a device longer than the link format allows: a cable robot's
// packet over 32 bytes, a dongle's answer over 33. Each is dropped, counted
// and recorded, and the link goes on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "BenchDevices.hpp"
#include "PcapngReader.hpp"
#include "capture/CaptureFile.hpp"
#include "emu/Bench.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using capture::RecordType;

class TooLong : public ::testing::Test {
  protected:
    TooLong() : path(::testing::TempDir() + "too-long-" + std::to_string(::getpid())) {}
    ~TooLong() override { std::remove(path.c_str()); }

    std::shared_ptr<ConnectionImpl> open(const std::string& uri) {
        auto connection =
            testing::connectionOn(uri, [&](std::int32_t id) { return registry->findRobot(id); });
        registry->attachConnection(connection);
        return connection;
    }

    // Whether a packet sent comes back (a radio robot's echo may follow
    // other replies).
    static bool echoes(ConnectionImpl& connection, const std::string& payload) {
        Packet packet;
        packet.setPort(1);
        packet.setPayload(payload);
        connection.queues.pushSend(packet);
        for (int i = 0; i < 100; ++i) {
            Packet reply = testing::receive(connection);
            if (!reply.valid() || reply.payload() == payload) {
                return reply.valid();
            }
        }
        return false;
    }

    std::vector<testing::CapturedRecord> tooLongRecords() {
        registry.reset();  // stops the workers and completes the capture
        return testing::readCapture(path).ofType(RecordType::TooLongDropped);
    }

    emu::Bench bench;
    std::string path;
    std::unique_ptr<LinkRegistry> registry;
};

TEST_F(TooLong, ACableRobotsLongPacketsAreDroppedAndTheLinkGoesOn) {
    emu::USBRobot& robot = bench.addUSBRobot("R1");
    registry = std::make_unique<LinkRegistry>(capture::CaptureFile::open(path));
    auto usb = open("usb://0");
    ASSERT_TRUE(echoes(*usb, "before"));
    Bytes longest(64, 0x5A);
    longest[0] = 0x10;
    robot.queueInbound(Bytes(longest.begin(), longest.begin() + 33));
    robot.queueInbound(longest);
    robot.queueInbound({0x10, 'o', 'k'});  // the longest a packet may be is fine
    EXPECT_EQ(testing::receive(*usb).payload(), "ok");
    EXPECT_EQ(usb->queues.counters().too_long_count, 2u);
    EXPECT_TRUE(echoes(*usb, "after"));
    EXPECT_EQ(usb->queues.counters().receive_count, 3u);
    registry->detachConnection(usb);

    auto records = tooLongRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].flags(), capture::FlagError);
    EXPECT_EQ(testing::read16(records[0].body(), 0), 33);
    EXPECT_EQ(testing::read16(records[1].body(), 0), 64);
    EXPECT_EQ(records[1].body().at(2), 32);  // the start of it, as much as a record holds
}

TEST_F(TooLong, ADonglesLongAnswerIsDroppedAndThePacketSentAgain) {
    emu::Dongle& dongle = bench.addDongle("S1");
    bench.addRadioRobot(80, 2);
    registry = std::make_unique<LinkRegistry>(capture::CaptureFile::open(path));
    for (std::size_t length : {34, 64}) {
        Bytes answer(length, 0x21);
        answer[0] = 0x01;  // acknowledged, with a reply too long to be one
        dongle.queueRawAnswer(answer);
    }
    auto radio = open("radio://0/80/2M/E7E7E7E7E7?safelink=0");
    EXPECT_TRUE(echoes(*radio, "hi"));
    EXPECT_EQ(radio->queues.counters().too_long_count, 2u);
    registry->detachConnection(radio);
    auto records = tooLongRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(testing::read16(records[0].body(), 0), 34);
    EXPECT_EQ(testing::read16(records[1].body(), 0), 64);
}

}  // namespace
}  // namespace quenfold::orvalis
