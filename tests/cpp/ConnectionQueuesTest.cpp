#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "workers/ConnectionQueues.hpp"

using quenfold::orvalis::ConnectionQueues;
using quenfold::orvalis::Packet;

namespace {

Packet onPort(std::uint8_t port, char tag) {
    Packet packet;
    packet.setPort(port);
    packet.setPayload(std::string(1, tag));
    return packet;
}

std::string drainSent(ConnectionQueues& queues) {
    std::string order;
    while (std::optional<Packet> packet = queues.popSend()) {
        order += packet->payload();
    }
    return order;
}

std::string drainReceived(ConnectionQueues& queues) {
    std::string order;
    for (Packet packet = queues.popReceived(1); packet.valid(); packet = queues.popReceived(1)) {
        order += packet.payload();
    }
    return order;
}

// Polls until `condition` holds; false after a bound far beyond any normal
// delay, so that a fault fails the test instead of hanging it.
template <typename Condition>
bool eventually(Condition condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

TEST(ConnectionQueues, LowerPortOvertakesAndEqualPortsKeepTheirOrder) {
    ConnectionQueues state;
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
    EXPECT_EQ(drainSent(state), "zabcdl");

    for (char tag : {'a', 'b', 'c'}) {
        state.pushReceived(onPort(5, tag));
    }
    state.pushReceived(onPort(0, 'z'));
    Packet top = state.popReceived(1);
    EXPECT_EQ(top.seq(), 3u);
    EXPECT_EQ(top.payload() + drainReceived(state), "zabc");
}

TEST(ConnectionQueues, SendStampsTheCallersPacket) {
    ConnectionQueues state;
    Packet packet;
    for (std::uint64_t expected = 0; expected < 3; ++expected) {
        state.pushSend(packet);
        EXPECT_EQ(packet.seq(), expected);
    }
    EXPECT_EQ(state.counters().snapshot().enqueued_count, 3u);
    EXPECT_EQ(state.sendQueueSize(), 3u);
    // An empty packet is queued like any other.
    EXPECT_FALSE(state.popSend()->valid());
}

TEST(ConnectionQueues, FailedConnectionRefusesWithoutChangingAnything) {
    ConnectionQueues state;
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
    EXPECT_EQ(state.sendQueueSize(), 0u);
    EXPECT_EQ(state.counters().snapshot().enqueued_count, 0u);
}

// A reader that never reads loses nothing: past the warning mark every
// packet is still there, in order, and the warning comes once.
TEST(ConnectionQueues, UnreadPacketsAreAllKeptAndWarnedAboutOnce) {
    ConnectionQueues state("radio://0/80/2M/E7E7E7E7E7");
    const std::size_t count = ConnectionQueues::UnreadWarning + 10;
    ::testing::internal::CaptureStderr();
    for (std::size_t i = 0; i < count; ++i) {
        state.pushReceived(onPort(1, 'a'));
    }
    std::string warnings = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(warnings,
              "orvapy: " + std::to_string(ConnectionQueues::UnreadWarning) +
                  " received packets wait unread on connection radio://0/80/2M/E7E7E7E7E7; all "
                  "are kept until recv takes them\n");
    std::size_t taken = 0;
    for (Packet packet = state.popReceived(1); packet.valid(); packet = state.popReceived(1)) {
        ASSERT_EQ(packet.seq(), taken);
        ++taken;
    }
    EXPECT_EQ(taken, count);
}

TEST(ConnectionQueues, StatisticsTextForm) {
    ConnectionQueues state;
    state.counters().sent_count = 12;
    state.counters().receive_count = 3;
    state.counters().enqueued_count = 4;
    state.counters().ack_count = 10;
    EXPECT_EQ(state.counters().snapshot().toString(),
              "Statistics(sent_count=12,receive_count=3,enqueued_count=4,ack_count=10)");
}

TEST(ConnectionQueues, ReceiveTimesOutWithTheEmptyPacket) {
    ConnectionQueues state;
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
    explicit BlockedReceiver(ConnectionQueues& state) : state_(state) {
        result_ = std::async(std::launch::async, [this] { return receive(); });
        waiting_ = eventually([this] { return state_.receiveWaitsBegun() != 0; });
    }

    // What the receive ended with, or "still waiting" after a bound far
    // beyond any wake-up.
    std::string outcome() {
        if (!waiting_) {
            release();
            return "never began to wait";
        }
        if (result_.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            release();
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

    // Lets the thread go before the future's destructor joins it, by every
    // kind of wake-up: whichever one a fault broke, another one works.
    void release() {
        state_.pushReceived(onPort(0, 'r'));
        state_.close();
        state_.setError("released by the test");
    }

    ConnectionQueues& state_;
    std::future<std::string> result_;
    bool waiting_ = false;
};

TEST(ConnectionQueues, WaitingReceiverWakesForAPacketAFailureAndAClose) {
    ConnectionQueues pushed;
    BlockedReceiver forPacket(pushed);
    pushed.pushReceived(onPort(3, 'p'));
    EXPECT_EQ(forPacket.outcome(), "p");

    ConnectionQueues failing;
    BlockedReceiver forFailure(failing);
    failing.setError("LIBUSB_ERROR_NO_DEVICE");
    EXPECT_EQ(forFailure.outcome(), "LIBUSB_ERROR_NO_DEVICE");

    ConnectionQueues closing;
    BlockedReceiver forClose(closing);
    closing.close();
    EXPECT_EQ(forClose.outcome(), "empty packet");
}
