#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "BenchDevices.hpp"
#include "emu/Bench.hpp"
#include "usb/Skelder.hpp"
#include "workers/RadioTurn.hpp"

namespace quenfold::orvalis {
namespace {

std::shared_ptr<ConnectionImpl> radio(const std::string& uri) {
    auto connection = std::make_shared<ConnectionImpl>();
    connection->parse(uri, [](std::int32_t) { return RobotPresence{}; });
    return connection;
}

Packet echoPacket() {
    Packet packet;
    packet.setPort(1);
    packet.setChannel(0);
    packet.setPayload("ab");
    return packet;
}

// Turns driven by hand, without a worker thread: what each one reports
// decides whether the worker steps aside for a host thread after its pass.
class RadioTurnTest : public ::testing::Test {
  protected:
    emu::Bench bench;
    emu::Dongle& dongle = bench.addDongle("SKD-A");
    USBContext context;
    testing::DeviceRef device =
        testing::findDevice(context, testing::SkelderVendor, testing::SkelderProduct, "SKD-A");
};

TEST_F(RadioTurnTest, OnlyTurnsThatWakeAHostThreadSaySo) {
    bench.addRadioRobot(80, 2);
    Skelder skelder(device.get());
    auto quiet = radio("radio://0/80/2M/E7E7E7E7E7?safelink=0&autoping=0");
    EXPECT_EQ(radioTurn(skelder, *quiet), TurnOutcome::Idle);
    EXPECT_TRUE(dongle.bulkOutLog().empty());

    auto connection = radio("radio://0/80/2M/E7E7E7E7E7?safelink=0");
    // The first exchange wakes whoever waits for it (scan probes).
    EXPECT_EQ(radioTurn(skelder, *connection), TurnOutcome::Woke);
    // An empty acknowledgement that the filter drops wakes nobody.
    EXPECT_EQ(radioTurn(skelder, *connection), TurnOutcome::Exchanged);
    Packet packet = echoPacket();
    connection->pushSend(packet);
    EXPECT_EQ(radioTurn(skelder, *connection), TurnOutcome::Exchanged);
    // The echo rides on the next acknowledgement: a reply queued for a receiver.
    EXPECT_EQ(radioTurn(skelder, *connection), TurnOutcome::Woke);
    EXPECT_EQ(connection->popReceived(1).payload(), "ab");
    EXPECT_EQ(dongle.bulkOutLog().size(), 4u);

    // With safelink a delivered echo counts the same, and a filtered empty one
    // does not.
    auto safe = radio("radio://0/80/2M/E7E7E7E7E7");
    EXPECT_EQ(radioTurn(skelder, *safe), TurnOutcome::Woke);  // the handshake, the first exchange
    safe->pushSend(packet);
    EXPECT_EQ(radioTurn(skelder, *safe), TurnOutcome::Exchanged);
    EXPECT_EQ(radioTurn(skelder, *safe), TurnOutcome::Woke);
    EXPECT_EQ(safe->popReceived(1).payload(), "ab");
    EXPECT_EQ(radioTurn(skelder, *safe), TurnOutcome::Exchanged);
}

TEST_F(RadioTurnTest, ASenderThatWaitedForTheQueueMakesTheNextTurnStepAside) {
    bench.addRadioRobot(80, 2).setSilent(true);
    Skelder skelder(device.get());
    auto connection = radio("radio://0/80/2M/E7E7E7E7E7?safelink=0");
    ASSERT_EQ(radioTurn(skelder, *connection), TurnOutcome::Woke);
    ASSERT_EQ(radioTurn(skelder, *connection), TurnOutcome::Exchanged);

    // The worker holds the queue for a plain exchange while a host sends.
    std::unique_lock<std::mutex> exchanging(connection->sendQueueMutex);
    std::thread sender([&] {
        Packet packet = echoPacket();
        connection->pushSend(packet);
    });
    ASSERT_TRUE(testing::eventually([&] { return connection->senderBlocked.load(); }));
    exchanging.unlock();
    sender.join();

    EXPECT_EQ(radioTurn(skelder, *connection), TurnOutcome::Woke);
    EXPECT_EQ(connection->statistics.enqueued_count.load(), 1u);
    // Told once: the turns after wake nobody.
    EXPECT_EQ(radioTurn(skelder, *connection), TurnOutcome::Exchanged);
    // A send that finds the queue free leaves no hint.
    Packet packet = echoPacket();
    connection->pushSend(packet);
    EXPECT_FALSE(connection->senderBlocked.load());
}

}  // namespace
}  // namespace quenfold::orvalis
