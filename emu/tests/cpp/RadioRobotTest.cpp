#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "emu/RadioRobot.hpp"

namespace quenfold::orvalis::emu {
namespace {

using Bytes = RadioRobot::Bytes;
const Bytes Ping{0xFF};

class RadioRobotTest : public ::testing::Test {
  protected:
    RadioRobot robot{RadioSettings{80, 2, 0xE7E7E7E7E7}};
};

TEST_F(RadioRobotTest, EchoRidesOnTheNextAcknowledgement) {
    EXPECT_EQ(robot.exchange({0x21, 1, 2}), Bytes{});
    EXPECT_EQ(robot.exchange({0x32, 3}), (Bytes{0x21, 1, 2}));
    EXPECT_EQ(robot.exchange(Ping), (Bytes{0x32, 3}));
    EXPECT_EQ(robot.exchange(Ping), Bytes{});
}

TEST_F(RadioRobotTest, EchoKeepsPortAndChannelButNotTheSafelinkBits) {
    robot.exchange({0x2D, 7});  // port 2, both safelink bits, channel 1
    EXPECT_EQ(robot.exchange(Ping), (Bytes{0x21, 7}));
}

TEST_F(RadioRobotTest, PingsAndTheSafelinkEnablePacketAreNotEchoed) {
    for (const Bytes& ping : {Bytes{0xFF}, Bytes{0xF3}, Bytes{0xF7}, Bytes{0xFB}}) {
        EXPECT_EQ(robot.exchange(ping), Bytes{});
    }
    // A header-only packet on another port is data, and so is a longer port 15 one.
    robot.exchange({0x13});
    EXPECT_EQ(robot.exchange({0xF3, 0x00}), Bytes{0x13});
    EXPECT_EQ(robot.exchange(Ping), (Bytes{0xF3, 0x00}));
    EXPECT_EQ(robot.exchange({0xFF, 0x05, 0x01}), (Bytes{0xFF, 0x05, 0x01}));
    EXPECT_EQ(robot.exchange({0xF3}), Bytes{});
    EXPECT_TRUE(robot.safelinkActive());
}

TEST_F(RadioRobotTest, ReceivedRecordsEveryPacketInArrivalOrder) {
    robot.exchange({0x21, 1});
    robot.exchange(Ping);
    robot.exchange({0x21, 1});
    EXPECT_EQ(robot.received(), (std::vector<Bytes>{{0x21, 1}, Ping, {0x21, 1}}));
}

TEST_F(RadioRobotTest, SilentRobotAcknowledgesEmptyAndKeepsItsReplies) {
    robot.exchange({0x21, 1});
    robot.setSilent(true);
    EXPECT_EQ(robot.exchange(Ping), Bytes{});
    robot.setSilent(false);
    EXPECT_EQ(robot.exchange(Ping), (Bytes{0x21, 1}));
}

TEST_F(RadioRobotTest, LostPacketIsNotReceivedLostAcknowledgementIs) {
    robot.setLoss(1.0, 0.0);
    EXPECT_EQ(robot.exchange({0x21, 1}), std::nullopt);
    EXPECT_TRUE(robot.received().empty());
    robot.setLoss(0.0, 1.0);
    EXPECT_EQ(robot.exchange({0x21, 2}), std::nullopt);
    EXPECT_EQ(robot.received(), (std::vector<Bytes>{{0x21, 2}}));
}

TEST_F(RadioRobotTest, WithoutSafelinkAResentPacketReachesTheApplicationTwice) {
    robot.setLoss(0.0, 1.0);
    robot.exchange({0x21, 9});
    robot.setLoss(0.0, 0.0);
    EXPECT_EQ(robot.exchange({0x21, 9}), (Bytes{0x21, 9}));
    EXPECT_EQ(robot.exchange(Ping), (Bytes{0x21, 9}));
}

TEST_F(RadioRobotTest, TheSameSeedLosesTheSameFrames) {
    auto pattern = [](std::uint64_t seed) {
        RadioRobot robot{RadioSettings{}};
        robot.setLoss(0.3, 0.3);
        robot.setSeed(seed);
        std::vector<bool> heard;
        for (int i = 0; i < 200; ++i) {
            heard.push_back(robot.exchange(Ping).has_value());
        }
        return heard;
    };
    EXPECT_EQ(pattern(7), pattern(7));
    EXPECT_NE(pattern(7), pattern(8));
}

TEST_F(RadioRobotTest, OutboundPacketsQueueBehindEchoes) {
    robot.exchange({0x21, 1});
    robot.queueOutbound({0x52, 4});
    EXPECT_EQ(robot.exchange(Ping), (Bytes{0x21, 1}));
    EXPECT_EQ(robot.exchange(Ping), (Bytes{0x52, 4}));
}

}  // namespace
}  // namespace quenfold::orvalis::emu
