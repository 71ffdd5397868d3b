#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <vector>

#include "SafelinkHost.hpp"
#include "emu/RadioRobot.hpp"

namespace quenfold::orvalis::emu {
namespace {

using Bytes = RadioRobot::Bytes;
using testing::numberedPackets;
using testing::SafelinkHost;

// The robot echoes what its application is given, so the host reading back
// exactly what it sent, once each and in order, shows delivery exactly once in
// both directions; a packet given twice would be echoed twice.
TEST(Safelink, DeliversExactlyOnceInOrderBothWaysUnderLoss) {
    RadioRobot robot{RadioSettings{}};
    robot.setSeed(20240611);
    robot.setLoss(0.2, 0.2);
    SafelinkHost host([&robot](const Bytes& packet) { return robot.exchange(packet); });
    host.handshake();

    constexpr int Count = 300;
    std::vector<Bytes> sent = numberedPackets(Count);
    EXPECT_EQ(host.transfer(sent, 100 * Count), sent);

    // The loss did happen: the radio heard repeats.
    int heard = 0;
    for (const Bytes& packet : robot.received()) {
        heard += packet.size() == 3 && (packet[0] & 0xF3) == 0x21;
    }
    EXPECT_GT(heard, Count);
    // Nothing more comes out once everything was delivered.
    std::deque<Bytes> nothing;
    for (int i = 0; i < 50; ++i) {
        host.turn(nothing);
    }
    EXPECT_EQ(host.accepted().size(), sent.size());
}

TEST(Safelink, RepliesWaitForTheHostToAcceptThem) {
    RadioRobot robot{RadioSettings{}};
    robot.exchange({0xFF, 0x05, 0x01});
    robot.exchange({0x21, 1});  // up 0, down 0: given to the application
    // Down bit 0: the first echo is offered with bit 2 clear, again and again
    // until the host's down bit moves on.
    EXPECT_EQ(robot.exchange({0x29, 1}), (Bytes{0x21, 1}));  // up 1: new, given again
    EXPECT_EQ(robot.exchange({0xF3}), (Bytes{0x21, 1}));
    EXPECT_EQ(robot.exchange({0xF7}), (Bytes{0x25, 1}));
    EXPECT_EQ(robot.exchange({0xF3}), Bytes{});
}

TEST(Safelink, RepeatedUpBitIsAcknowledgedButNotGivenToTheApplication) {
    RadioRobot robot{RadioSettings{}};
    robot.exchange({0xFF, 0x05, 0x01});
    robot.exchange({0x21, 5});
    EXPECT_EQ(robot.exchange({0x21, 5}), (Bytes{0x21, 5}));
    // The host took the one echo; there is no second one.
    EXPECT_EQ(robot.exchange({0xF7}), Bytes{});
    EXPECT_EQ(robot.received().size(), 4u);
}

}  // namespace
}  // namespace quenfold::orvalis::emu
