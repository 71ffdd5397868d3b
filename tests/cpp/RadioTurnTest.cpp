#include <gtest/gtest.h>

#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "BenchDevices.hpp"
#include "emu/Bench.hpp"
#include "usb/Skelder.hpp"
#include "workers/RadioTurn.hpp"

namespace quenfold::orvalis {
namespace {

using testing::radio;

Packet echoPacket() {
    Packet packet;
    packet.setPort(1);
    packet.setChannel(0);
    packet.setPayload("ab");
    return packet;
}

// Turns driven by hand, without a worker thread: what each one reports
// decides whether the worker steps aside for a host thread after its pass.
class RadioTurnTest : public testing::OneDongleTest {
  protected:
    // A turn with the state a worker would keep for the connection.
    TurnOutcome turn(Skelder& skelder, ConnectionImpl& connection) {
        return radioTurn(skelder, connection, safelink[&connection]);
    }

    std::map<const ConnectionImpl*, SafelinkState> safelink;
};

TEST_F(RadioTurnTest, OnlyTurnsThatWakeAHostThreadSaySo) {
    bench.addRadioRobot(80, 2);
    Skelder skelder(device.get());
    auto quiet = radio("radio://0/80/2M/E7E7E7E7E7?safelink=0&autoping=0");
    EXPECT_EQ(turn(skelder, *quiet), TurnOutcome::Idle);
    EXPECT_TRUE(dongle.bulkOutLog().empty());

    auto connection = radio("radio://0/80/2M/E7E7E7E7E7?safelink=0");
    // The first exchange wakes whoever waits for it (scan probes).
    EXPECT_EQ(turn(skelder, *connection), TurnOutcome::Woke);
    // An empty acknowledgement that the filter drops wakes nobody.
    EXPECT_EQ(turn(skelder, *connection), TurnOutcome::Exchanged);
    Packet packet = echoPacket();
    connection->queues.pushSend(packet);
    EXPECT_EQ(turn(skelder, *connection), TurnOutcome::Exchanged);
    // The echo rides on the next acknowledgement: a reply queued for a receiver.
    EXPECT_EQ(turn(skelder, *connection), TurnOutcome::Woke);
    EXPECT_EQ(connection->queues.popReceived(1).payload(), "ab");
    EXPECT_EQ(dongle.bulkOutLog().size(), 4u);

    // With safelink a delivered echo counts the same, and a filtered empty one
    // does not.
    auto safe = radio("radio://0/80/2M/E7E7E7E7E7");
    EXPECT_EQ(turn(skelder, *safe), TurnOutcome::Woke);  // the handshake, the first exchange
    safe->queues.pushSend(packet);
    EXPECT_EQ(turn(skelder, *safe), TurnOutcome::Exchanged);
    EXPECT_EQ(turn(skelder, *safe), TurnOutcome::Woke);
    EXPECT_EQ(safe->queues.popReceived(1).payload(), "ab");
    EXPECT_EQ(turn(skelder, *safe), TurnOutcome::Exchanged);
}

TEST_F(RadioTurnTest, ASenderThatWaitedForTheQueueMakesTheNextTurnStepAside) {
    bench.addRadioRobot(80, 2).setSilent(true);
    Skelder skelder(device.get());
    auto connection = radio("radio://0/80/2M/E7E7E7E7E7?safelink=0");
    ASSERT_EQ(turn(skelder, *connection), TurnOutcome::Woke);
    ASSERT_EQ(turn(skelder, *connection), TurnOutcome::Exchanged);

    // The worker holds the queue for a plain exchange while a host sends.
    Packet held = echoPacket();
    connection->queues.pushSend(held);
    std::promise<void> holding;
    std::promise<void> release;
    std::thread exchanging([&] {
        connection->queues.sendHead([&](const Packet&) {
            holding.set_value();
            release.get_future().wait();
            return true;  // acknowledged: the held packet leaves
        });
    });
    holding.get_future().wait();
    std::thread sender([&] {
        Packet packet = echoPacket();
        connection->queues.pushSend(packet);
    });
    bool blocked = testing::eventually([&] { return connection->queues.senderBlocked(); });
    release.set_value();
    exchanging.join();
    sender.join();
    ASSERT_TRUE(blocked) << "a sender that found the queue taken left no hint";

    EXPECT_EQ(turn(skelder, *connection), TurnOutcome::Woke);
    EXPECT_EQ(connection->queues.counters().enqueued_count.load(), 2u);
    // Told once: the turns after wake nobody.
    EXPECT_EQ(turn(skelder, *connection), TurnOutcome::Exchanged);
    // A send that finds the queue free leaves no hint.
    Packet packet = echoPacket();
    connection->queues.pushSend(packet);
    EXPECT_FALSE(connection->queues.senderBlocked());
}

}  // namespace
}  // namespace quenfold::orvalis
