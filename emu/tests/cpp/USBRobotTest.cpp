#include <gtest/gtest.h>

#include <libusb.h>

#include <optional>
#include <vector>

#include "USBClient.hpp"
#include "emu/BenchTest.hpp"

namespace quenfold::orvalis::emu {
namespace {

using testing::USBClient;
using Bytes = std::vector<std::uint8_t>;

class RobotOnCable : public BenchTest {
  protected:
    void SetUp() override {
        BenchTest::SetUp();
        robot = &bench().addUSBRobot("EMUR0");
        client.emplace();
        ASSERT_TRUE(client->open(0x0483, 0x5740, "EMUR0"));
    }
    void TearDown() override {
        client.reset();
        BenchTest::TearDown();
    }

    USBRobot* robot = nullptr;
    // Made after the bench: libusb must start up while the testbed exists.
    std::optional<USBClient> client;
};

TEST_F(RobotOnCable, LinkRequestsAreRecorded) {
    EXPECT_EQ(client->vendorOut(0x01, 1, 1), 0);
    EXPECT_TRUE(robot->linkOn());
    EXPECT_EQ(client->vendorOut(0x01, 1, 0), 0);
    EXPECT_FALSE(robot->linkOn());
    EXPECT_EQ(client->vendorOut(0x02, 1, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(robot->controlLog(),
              (std::vector<ControlRecord>{{0x01, 1, 1, {}}, {0x01, 1, 0, {}}, {0x02, 1, 0, {}}}));
}

TEST_F(RobotOnCable, EchoesEveryPacketPingsIncluded) {
    for (const Bytes& packet : {Bytes{0x21, 1, 2, 3}, Bytes{0xF3}}) {
        USBClient::Result written = client->write(packet);
        EXPECT_EQ(written.status, 0);
        EXPECT_EQ(written.transferred, static_cast<int>(packet.size()));
        EXPECT_EQ(client->read(64, 1000), std::make_pair(0, packet));
    }
    EXPECT_EQ(robot->received(), (std::vector<Bytes>{{0x21, 1, 2, 3}, {0xF3}}));
}

TEST_F(RobotOnCable, RefusedPacketTimesOutWithNothingWritten) {
    robot->refuse(2);
    for (int attempt = 0; attempt < 2; ++attempt) {
        USBClient::Result written = client->write({0x21, 7}, 10);
        EXPECT_EQ(written.status, LIBUSB_ERROR_TIMEOUT);
        EXPECT_EQ(written.transferred, 0);
    }
    EXPECT_TRUE(robot->received().empty());
    EXPECT_TRUE(robot->bulkOutLog().empty());
    EXPECT_EQ(client->write({0x21, 7}).status, 0);
    EXPECT_EQ(robot->received(), (std::vector<Bytes>{{0x21, 7}}));
}

TEST_F(RobotOnCable, PacketsTheRobotSendsOnItsOwnArriveInOrder) {
    robot->queueInbound({0x51, 9});
    client->write({0x21, 1});
    EXPECT_EQ(client->read(64, 1000).second, (Bytes{0x51, 9}));
    EXPECT_EQ(client->read(64, 1000).second, (Bytes{0x21, 1}));
    EXPECT_EQ(client->read(64, 1).first, LIBUSB_ERROR_TIMEOUT);
}

TEST_F(RobotOnCable, WriteThatHangsAfterPartReportsThePartOnTimeOut) {
    robot->hangNextWrite(10);
    Bytes packet(20, 0x33);
    USBClient::Result written = client->write(packet, 10);
    EXPECT_EQ(written.status, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(written.transferred, 10);
    EXPECT_EQ(robot->bulkOutLog(), (std::vector<Bytes>{Bytes(10, 0x33)}));
}

}  // namespace
}  // namespace quenfold::orvalis::emu
