#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "workers/ConnectionImpl.hpp"

using quenfold::orvalis::ConnectionImpl;
using quenfold::orvalis::Packet;
using quenfold::orvalis::PacketQueue;

namespace {

Packet onPort(std::uint8_t port, char tag) {
    Packet packet;
    packet.setPort(port);
    packet.setPayload(std::string(1, tag));
    return packet;
}

std::string drain(PacketQueue& queue) {
    std::string order;
    while (!queue.empty()) {
        order += queue.top().payload();
        queue.pop();
    }
    return order;
}

}  // namespace

TEST(ConnectionQueues, LowerPortOvertakesAndEqualPortsKeepTheirOrder) {
    ConnectionImpl state;
    for (char tag : {'a', 'b', 'c'}) {
        Packet packet = onPort(5, tag);
        state.pushSend(packet);
    }
    Packet first = onPort(0, 'z');
    state.pushSend(first);
    Packet last = onPort(15, 'l');
    state.pushSend(last);
    Packet second = onPort(5, 'd');
    state.pushSend(second);
    EXPECT_EQ(drain(state.sendQueue), "zabcdl");

    for (char tag : {'a', 'b', 'c'}) {
        state.pushReceived(onPort(5, tag));
    }
    state.pushReceived(onPort(0, 'z'));
    EXPECT_EQ(state.recvQueue.top().seq(), 3u);
    EXPECT_EQ(drain(state.recvQueue), "zabc");
}

TEST(ConnectionQueues, SendStampsTheCallersPacket) {
    ConnectionImpl state;
    Packet packet;
    for (std::uint64_t expected = 0; expected < 3; ++expected) {
        state.pushSend(packet);
        EXPECT_EQ(packet.seq(), expected);
    }
    EXPECT_EQ(state.statistics.snapshot().enqueued_count, 3u);
    EXPECT_EQ(state.sendQueue.size(), 3u);
    // An empty packet is queued like any other.
    EXPECT_FALSE(state.sendQueue.top().valid());
}

TEST(ConnectionQueues, FailedConnectionRefusesWithoutChangingAnything) {
    ConnectionImpl state;
    state.setError("LIBUSB_ERROR_NO_DEVICE");
    Packet packet;
    packet.setSeq(42);
    try {
        state.pushSend(packet);
        FAIL() << "send on a failed connection succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "LIBUSB_ERROR_NO_DEVICE");
    }
    EXPECT_EQ(packet.seq(), 42u);
    EXPECT_TRUE(state.sendQueue.empty());
    EXPECT_EQ(state.statistics.snapshot().enqueued_count, 0u);
}

TEST(ConnectionQueues, StatisticsTextForm) {
    ConnectionImpl state;
    state.statistics.sent_count = 12;
    state.statistics.receive_count = 3;
    state.statistics.enqueued_count = 4;
    state.statistics.ack_count = 10;
    EXPECT_EQ(state.statistics.snapshot().toString(),
              "Statistics(sent_count=12,receive_count=3,enqueued_count=4,ack_count=10)");
}

TEST(ConnectionQueues, ReceiveTimesOutWithTheEmptyPacket) {
    ConnectionImpl state;
    Packet packet = state.popReceived(10);
    EXPECT_FALSE(packet.valid());
    EXPECT_EQ(packet.rawData()[0], 0xFF);
    EXPECT_EQ(packet.seq(), 0u);

    state.pushReceived(onPort(5, 'a'));
    state.pushReceived(onPort(0, 'b'));
    EXPECT_EQ(state.popReceived(10).payload(), "b");
    EXPECT_EQ(state.popReceived(0).payload(), "a");
}

// The receiver is surely waiting before anything happens: seen under the
// queue lock, a begun wait means that the receiver released the lock by
// waiting. Whatever happens next has to wake it.
class BlockedReceiver {
  public:
    explicit BlockedReceiver(ConnectionImpl& state) : state_(state) {
        result_ = std::async(std::launch::async, [this] { return receive(); });
        while (state_.receiveWaitsBegun() == 0) {
            std::this_thread::yield();
        }
    }

    // What the receive ended with, or "still waiting" after a bound far
    // beyond any wake-up.
    std::string outcome() {
        if (result_.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            // Let the thread go before the future's destructor joins it.
            state_.setError("released by the test");
            return "still waiting";
        }
        return result_.get();
    }

  private:
    std::string receive() {
        try {
            Packet packet = state_.popReceived(0);
            return packet.valid() ? packet.payload() : "empty packet";
        } catch (const std::runtime_error& error) {
            return error.what();
        }
    }

    ConnectionImpl& state_;
    std::future<std::string> result_;
};

TEST(ConnectionQueues, WaitingReceiverWakesForAPacketAFailureAndAClose) {
    ConnectionImpl pushed;
    BlockedReceiver forPacket(pushed);
    pushed.pushReceived(onPort(3, 'p'));
    EXPECT_EQ(forPacket.outcome(), "p");

    ConnectionImpl failing;
    BlockedReceiver forFailure(failing);
    failing.setError("LIBUSB_ERROR_NO_DEVICE");
    EXPECT_EQ(forFailure.outcome(), "LIBUSB_ERROR_NO_DEVICE");

    ConnectionImpl closing;
    BlockedReceiver forClose(closing);
    closing.deviceId = -1;
    closing.wakeReceivers();
    EXPECT_EQ(forClose.outcome(), "empty packet");
}
