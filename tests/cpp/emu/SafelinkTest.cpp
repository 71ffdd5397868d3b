#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "emu/RadioRobot.hpp"

namespace quenfold::orvalis::emu {
namespace {

using Bytes = RadioRobot::Bytes;

// The host's side of safelink, as the radio worker runs it: an unacknowledged
// packet goes again byte for byte, the up bit toggles after every acknowledged
// transmission, and a reply counts only when its bit 2 is the expected down
// bit, which then toggles.
class SafelinkHost {
  public:
    explicit SafelinkHost(RadioRobot& robot) : robot_(robot) {}

    // Returns the number of transmissions it took.
    int handshake() {
        int attempts = 1;
        while (!robot_.exchange({0xFF, 0x05, 0x01})) {
            ++attempts;
        }
        return attempts;
    }

    // One transmission: the pending packet, else the next of `outgoing`, else a ping.
    void turn(std::vector<Bytes>& outgoing) {
        Bytes packet;
        if (pending_) {
            packet = *pending_;
        } else {
            if (outgoing.empty()) {
                packet = {0xF3};
            } else {
                packet = outgoing.front();
                outgoing.erase(outgoing.begin());
            }
            packet[0] = static_cast<std::uint8_t>((packet[0] & 0xF3) | (up_ ? 0x08 : 0) |
                                                  (down_ ? 0x04 : 0));
        }
        std::optional<Bytes> ack = robot_.exchange(packet);
        if (!ack) {
            pending_ = packet;
            return;
        }
        pending_.reset();
        up_ = !up_;
        if (!ack->empty() && (((*ack)[0] & 0x04) != 0) == down_) {
            down_ = !down_;
            Bytes reply = *ack;
            reply[0] &= 0xF3;
            accepted.push_back(reply);
        }
    }

    std::vector<Bytes> accepted;

  private:
    RadioRobot& robot_;
    bool up_ = false;
    bool down_ = false;
    std::optional<Bytes> pending_;
};

Bytes numbered(int i) {
    return {0x21, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)};
}

// The robot echoes what its application is given, so the host reading back
// exactly what it sent, once each and in order, shows delivery exactly once in
// both directions; a packet given twice would be echoed twice.
TEST(Safelink, DeliversExactlyOnceInOrderBothWaysUnderLoss) {
    RadioRobot robot{RadioSettings{}};
    robot.setSeed(20240611);
    robot.setLoss(0.2, 0.2);
    SafelinkHost host(robot);
    host.handshake();

    constexpr int Count = 300;
    std::vector<Bytes> sent;
    for (int i = 0; i < Count; ++i) {
        sent.push_back(numbered(i));
    }
    std::vector<Bytes> outgoing = sent;
    for (int turns = 0; host.accepted.size() < sent.size() && turns < 100 * Count; ++turns) {
        host.turn(outgoing);
    }
    EXPECT_EQ(host.accepted, sent);

    // The loss did happen: the radio heard repeats.
    int heard = 0;
    for (const Bytes& packet : robot.received()) {
        heard += packet.size() == 3 && (packet[0] & 0xF3) == 0x21;
    }
    EXPECT_GT(heard, Count);
    // Nothing more comes out once everything was delivered.
    for (int i = 0; i < 50; ++i) {
        host.turn(outgoing);
    }
    EXPECT_EQ(host.accepted.size(), sent.size());
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
