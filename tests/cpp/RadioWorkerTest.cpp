#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "BenchDevices.hpp"
#include "emu/Bench.hpp"
#include "workers/RadioWorker.hpp"
#include "base/WorkSignal.hpp"

namespace quenfold::orvalis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::eventually;
using testing::receive;

using testing::packetOf;
using testing::radio;

Bytes bytesOf(const Packet& packet) {
    return Bytes(packet.rawData(), packet.rawData() + packet.size());
}

class RadioWorkerTest : public testing::OneDongleTest {
  protected:
    RadioWorker worker{device.get()};

    std::size_t channelRequests(int channel) const {
        std::size_t count = 0;
        for (const emu::ControlRecord& record : dongle.controlLog()) {
            count += record.request == 0x01 && record.value == channel;
        }
        return count;
    }
};

TEST_F(RadioWorkerTest, PlainExchangeDeliversEchoesInOrder) {
    bench.addRadioRobot(80, 2);
    auto connection = radio("radio://0/80/2M/E7E7E7E7E7?safelink=0");
    worker.attachConnection(connection);
    Packet first = packetOf(3, "a");
    Packet second = packetOf(3, "b");
    connection->queues.pushSend(first);
    connection->queues.pushSend(second);

    // Without safelink a packet whose acknowledgement came too late for the
    // reply read goes out again, and the robot echoes it twice: the order
    // holds all the same, and every reply is numbered as it arrives.
    std::string echoes;
    for (std::uint64_t seq = 0; echoes.empty() || echoes.back() != 'b'; ++seq) {
        Packet echo = receive(*connection);
        ASSERT_TRUE(echo.valid());
        EXPECT_EQ(echo.seq(), seq);
        echoes += echo.payload();
    }
    EXPECT_EQ(echoes.find_first_not_of('a'), echoes.size() - 1) << echoes;

    ConnectionStatistics stats = connection->queues.counters().snapshot();
    EXPECT_EQ(stats.enqueued_count, 2u);
    EXPECT_EQ(stats.receive_count, echoes.size());
    EXPECT_GE(stats.ack_count, 2u);
    worker.detachConnection(connection);
    stats = connection->queues.counters().snapshot();
    EXPECT_GE(stats.sent_count, stats.ack_count);
    EXPECT_EQ(dongle.bulkOutLog().front(), bytesOf(first));
}

TEST_F(RadioWorkerTest, AckFilterDecidesWhetherEmptyAcknowledgementsArrive) {
    bench.addRadioRobot(80, 2).setSilent(true);
    auto unfiltered = radio("radio://0/80/2M/E7E7E7E7E7?safelink=0&ackfilter=0");
    auto filtered = radio("radio://0/80/2M/0000000001?safelink=0");
    bench.addRadioRobot(80, 2, 1).setSilent(true);
    worker.attachConnection(unfiltered);
    worker.attachConnection(filtered);

    Packet empty = receive(*unfiltered);
    EXPECT_EQ(bytesOf(empty), Bytes{0xFF});
    EXPECT_EQ(empty.seq(), 0u);
    ASSERT_TRUE(eventually([&] { return filtered->queues.counters().ack_count >= 3; }));
    EXPECT_FALSE(filtered->queues.popReceived(1).valid());
    EXPECT_EQ(filtered->queues.counters().receive_count, 0u);
}

TEST_F(RadioWorkerTest, IdleConnectionWithoutOptionsSendsNothing) {
    bench.addRadioRobot(80, 2);
    auto connection = radio("radio://0/80/2M/E7E7E7E7E7?safelink=0&autoping=0&ackfilter=0");
    worker.attachConnection(connection);
    // A pass found nothing to do: not even a retune, which would cost a
    // control request for no exchange.
    WorkSignal& signal = *connection->queues.workSignal();
    ASSERT_TRUE(eventually([&] { return signal.waitsBegun() > 0; }));
    EXPECT_EQ(channelRequests(80), 0u);
    EXPECT_TRUE(dongle.bulkOutLog().empty());

    Packet packet = packetOf(2, "x");
    connection->queues.pushSend(packet);
    // The echo would ride on a later acknowledgement, but nothing else is sent:
    // what arrives is the empty acknowledgement of the packet itself.
    EXPECT_EQ(bytesOf(receive(*connection)), Bytes{0xFF});
    worker.detachConnection(connection);
    // Only the packet went out (again, if its acknowledgement came late).
    ASSERT_FALSE(dongle.bulkOutLog().empty());
    for (const Bytes& sent : dongle.bulkOutLog()) {
        EXPECT_EQ(sent, bytesOf(packet));
    }
}

// With nothing to send the worker waits, and every change wakes it: a new
// connection, a send, a detached connection, a stop.
TEST_F(RadioWorkerTest, IdleWorkerWaitsAndWakesForEveryChange) {
    bench.addRadioRobot(80, 2);
    auto first = radio("radio://0/80/2M/E7E7E7E7E7?safelink=0&autoping=0&ackfilter=0");
    worker.attachConnection(first);
    WorkSignal& signal = *first->queues.workSignal();
    // Seen under the signal's lock with nothing raising it: the worker waits.
    std::uint64_t idle = 0;
    auto idleAgain = [&] {
        bool waiting = eventually([&] { return signal.waitsBegun() > idle; });
        idle = signal.waitsBegun();
        return waiting;
    };
    ASSERT_TRUE(idleAgain());
    std::size_t requests = dongle.controlLog().size();

    auto second = radio("radio://0/20/2M/E7E7E7E7E7?safelink=0&autoping=0");
    worker.attachConnection(second);
    ASSERT_TRUE(idleAgain());
    // One pass over both, with nothing to send: no request at all.
    EXPECT_EQ(dongle.controlLog().size(), requests);
    EXPECT_TRUE(dongle.bulkOutLog().empty());

    Packet packet = packetOf(2, "x");
    first->queues.pushSend(packet);
    EXPECT_EQ(bytesOf(receive(*first)), Bytes{0xFF});
    ASSERT_TRUE(idleAgain());

    worker.detachConnection(second);
    worker.awaitSnapshot();          // returns only if the detach woke the worker
    worker.detachConnection(first);  // the stop joins only a woken worker
}

// A waiter for a connection's first exchange wakes when it has finished, and
// when the connection fails before it ever has one.
TEST_F(RadioWorkerTest, FirstExchangeWakesItsWaiter) {
    const auto never = std::chrono::steady_clock::now() + std::chrono::hours(1);
    auto quiet = radio("radio://0/10/2M/E7E7E7E7E7?safelink=0&autoping=0");
    auto failing = radio("radio://0/20/2M/E7E7E7E7E7?safelink=0&autoping=0");
    worker.attachConnection(quiet);
    worker.attachConnection(failing);
    auto exchanged =
        std::async(std::launch::async, [&] { return quiet->queues.awaitFirstExchange(never); });
    auto failed =
        std::async(std::launch::async, [&] { return failing->queues.awaitFirstExchange(never); });
    ASSERT_TRUE(eventually([&] { return quiet->queues.receiveWaitsBegun() > 0; }));
    ASSERT_TRUE(eventually([&] { return failing->queues.receiveWaitsBegun() > 0; }));

    Packet packet = packetOf(2, "x");  // no robot: unacknowledged, but finished
    quiet->queues.pushSend(packet);
    EXPECT_TRUE(exchanged.get());
    dongle.unplug();
    EXPECT_FALSE(failed.get());
    worker.detachConnection(quiet);
    worker.detachConnection(failing);
}

// A ping takes nothing from the send queue: while it is on the air the host
// can queue a packet or read the statistics without waiting for it.
TEST_F(RadioWorkerTest, PingOnTheAirLeavesTheSendQueueFree) {
    auto connection = radio("radio://0/80/2M/E7E7E7E7E7?safelink=0");
    dongle.hangNextWrite(1);  // the first ping stays on the air until its write times out
    worker.attachConnection(connection);
    ASSERT_TRUE(eventually([&] { return !dongle.bulkOutLog().empty(); }));
    // A send that had to wait for the lock would leave its hint.
    Packet packet = packetOf(1, "x");
    connection->queues.pushSend(packet);
    EXPECT_FALSE(connection->queues.senderBlocked());
    worker.detachConnection(connection);
}

TEST_F(RadioWorkerTest, UnacknowledgedPacketStaysAtTheTop) {
    auto connection = radio("radio://0/40/1M/E7E7E7E7E7?safelink=0&autoping=0");
    worker.attachConnection(connection);
    Packet packet = packetOf(1, "again");
    connection->queues.pushSend(packet);
    ASSERT_TRUE(eventually([&] { return connection->queues.counters().sent_count >= 3; }));
    worker.detachConnection(connection);
    EXPECT_EQ(connection->queues.counters().ack_count, 0u);
    EXPECT_EQ(connection->queues.sendQueueSize(), 1u);
    for (const Bytes& sent : dongle.bulkOutLog()) {
        EXPECT_EQ(sent, bytesOf(packet));
    }
}

TEST_F(RadioWorkerTest, SafelinkStartsWithTheHandshake) {
    bench.addRadioRobot(80, 2);
    auto connection = radio("radio://0/80/2M/E7E7E7E7E7?ackfilter=0");
    Packet queued = packetOf(3, "q");
    connection->queues.pushSend(queued);
    worker.attachConnection(connection);
    // Received packets are taken lowest port first: on a fast bench the
    // queued packet's echo (port 3) may arrive before this thread looks.
    Packet handshakeEcho = receive(*connection);
    if (handshakeEcho.port() == 3) {
        handshakeEcho = receive(*connection);
    }
    EXPECT_EQ(bytesOf(handshakeEcho), (Bytes{0xFF, 0x05, 0x01}));
    EXPECT_EQ(handshakeEcho.seq(), 0u);
    EXPECT_EQ(dongle.bulkOutLog().front(), (Bytes{0xFF, 0x05, 0x01}));
}

TEST_F(RadioWorkerTest, SafelinkCountsOnlyRepliesItAccepts) {
    bench.addRadioRobot(80, 2).setSilent(true);
    auto connection = radio("radio://0/80/2M/E7E7E7E7E7?ackfilter=0");
    worker.attachConnection(connection);
    ASSERT_TRUE(eventually([&] { return connection->queues.counters().sent_count >= 6; }));
    // The worker's state for the connection is ours to read now.
    std::shared_ptr<SafelinkState> safelink = worker.detachConnection(connection);
    ASSERT_TRUE(safelink);

    // The handshake's acknowledgement is counted and delivered; after it,
    // acknowledgements without a reply only flip the up bit.
    ConnectionStatistics stats = connection->queues.counters().snapshot();
    EXPECT_EQ(stats.ack_count, 1u);
    EXPECT_EQ(stats.receive_count, 1u);
    EXPECT_EQ(bytesOf(connection->queues.popReceived(1)), (Bytes{0xFF, 0x05, 0x01}));
    EXPECT_TRUE(safelink->initialized);
    EXPECT_FALSE(safelink->down);
    EXPECT_EQ(safelink->up, (stats.sent_count - 1) % 2 == 1);
    std::vector<Bytes> sent = dongle.bulkOutLog();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[1], Bytes{0xF3});  // pings carry the bits: up 0, down 0
    EXPECT_EQ(sent[2], Bytes{0xFB});  // then up 1
}

TEST_F(RadioWorkerTest, UnansweredHandshakeIsAllThatIsSent) {
    auto connection = radio("radio://0/40/2M/E7E7E7E7E7");
    Packet queued = packetOf(3, "q");
    connection->queues.pushSend(queued);
    worker.attachConnection(connection);
    ASSERT_TRUE(eventually([&] { return connection->queues.counters().sent_count >= 3; }));
    worker.detachConnection(connection);
    for (const Bytes& sent : dongle.bulkOutLog()) {
        EXPECT_EQ(sent, (Bytes{0xFF, 0x05, 0x01}));
    }
    EXPECT_EQ(connection->queues.sendQueueSize(), 1u);
    EXPECT_EQ(connection->queues.counters().ack_count, 0u);
}

TEST_F(RadioWorkerTest, SafelinkDropsARepliedDownBitOnItsRepeat) {
    // Answers straight from the dongle, one per packet: the handshake's
    // empty acknowledgement, a reply with down bit 0, the same reply again
    // (the robot did not see it taken), then the next reply with down bit 1.
    for (const Bytes& answer :
         {Bytes{0x01}, Bytes{0x01, 0x30, 'a'}, Bytes{0x01, 0x30, 'a'}, Bytes{0x01, 0x34, 'b'}}) {
        dongle.queueRawAnswer(answer);
    }
    auto connection = radio("radio://0/80/2M/E7E7E7E7E7?autoping=0");
    for (const char* payload : {"1", "2", "3"}) {
        Packet packet = packetOf(3, payload);
        connection->queues.pushSend(packet);
    }
    worker.attachConnection(connection);
    EXPECT_EQ(receive(*connection).payload(), "a");
    EXPECT_EQ(receive(*connection).payload(), "b");
    worker.detachConnection(connection);
    EXPECT_FALSE(connection->queues.popReceived(1).valid());
    ConnectionStatistics stats = connection->queues.counters().snapshot();
    EXPECT_EQ(stats.sent_count, 4u);
    EXPECT_EQ(stats.receive_count, 2u);
    EXPECT_EQ(stats.ack_count, 3u);  // the handshake, "a" once, "b"
}

TEST_F(RadioWorkerTest, SafelinkDeliversExactlyOnceUnderLoss) {
    emu::RadioRobot& robot = bench.addRadioRobot(80, 2);
    robot.setSeed(7);
    robot.setLoss(0.2, 0.2);
    auto connection = radio("radio://0/80/2M/E7E7E7E7E7");
    worker.attachConnection(connection);
    std::vector<std::string> sent;
    for (int i = 0; i < 40; ++i) {
        sent.push_back(std::string(1 + i % 20, static_cast<char>('A' + i % 26)));
        Packet packet = packetOf(4, sent.back());
        connection->queues.pushSend(packet);
    }
    std::vector<std::string> echoes;
    while (echoes.size() < sent.size()) {
        Packet echo = receive(*connection);
        ASSERT_TRUE(echo.valid()) << "after " << echoes.size() << " echoes";
        if (echo.port() == 4) {  // the handshake's own echo comes on port 15
            echoes.push_back(echo.payload());
        }
    }
    EXPECT_EQ(echoes, sent);
    worker.detachConnection(connection);
    EXPECT_FALSE(connection->queues.popReceived(1).valid());
}

TEST_F(RadioWorkerTest, RetunesOnlyWhatDiffers) {
    auto low = radio("radio://0/10/2M/E7E7E7E7E7?safelink=0");
    auto high = radio("radio://0/20/2M/E7E7E7E7E7?safelink=0");
    worker.attachConnection(low);
    worker.attachConnection(high);
    ASSERT_TRUE(eventually([&] { return channelRequests(10) >= 3 && channelRequests(20) >= 3; }));
    worker.detachConnection(low);
    worker.detachConnection(high);

    auto first = radio("radio://0/30/2M/0000000001?safelink=0");
    auto second = radio("radio://0/30/2M/0000000002?safelink=0");
    std::size_t before = dongle.controlLog().size();
    worker.attachConnection(first);
    worker.attachConnection(second);
    ASSERT_TRUE(eventually([&] { return second->queues.counters().sent_count >= 3; }));
    worker.detachConnection(first);
    worker.detachConnection(second);
    std::vector<emu::ControlRecord> log = dongle.controlLog();
    std::size_t addressChanges = 0;
    for (std::size_t i = before + 8; i < log.size(); ++i) {  // past the start-up requests
        EXPECT_TRUE(log[i].request == 0x02 || (log[i].request == 0x01 && log[i].value == 30))
            << "request " << int(log[i].request);
        addressChanges += log[i].request == 0x02;
    }
    EXPECT_GE(addressChanges, 4u);
}

TEST_F(RadioWorkerTest, UnplugFailsEveryConnectionOfTheDongle) {
    auto a = radio("radio://0/10/2M/E7E7E7E7E7?safelink=0");
    auto b = radio("radio://0/20/1M/E7E7E7E7E7");
    worker.attachConnection(a);
    worker.attachConnection(b);
    ASSERT_TRUE(eventually([&] { return b->queues.counters().sent_count >= 1; }));
    dongle.unplug();
    for (auto& connection : {a, b}) {
        try {
            connection->queues.popReceived(0);
            ADD_FAILURE() << "receive on a failed connection succeeded";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "LIBUSB_ERROR_NO_DEVICE");
        }
    }
    EXPECT_EQ(worker.errorMessage(), "LIBUSB_ERROR_NO_DEVICE");

    // A connection added later gets the stored error at once.
    auto late = radio("radio://0/30/2M/E7E7E7E7E7");
    worker.attachConnection(late);
    Packet packet;
    EXPECT_THROW(late->queues.pushSend(packet), std::runtime_error);
    worker.detachConnection(a);
    worker.detachConnection(b);
    worker.detachConnection(late);
}

}  // namespace
}  // namespace quenfold::orvalis
