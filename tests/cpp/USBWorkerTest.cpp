#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BenchDevices.hpp"
#include "emu/Bench.hpp"
#include "workers/USBWorker.hpp"

namespace quenfold::orvalis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::eventually;
using testing::receive;

std::shared_ptr<ConnectionImpl> cable() {
    auto connection =
        testing::connectionOn("usb://0", [](std::int32_t) { return RobotPresence{true, 1}; });
    return connection;
}

class USBWorkerTest : public ::testing::Test {
  protected:
    emu::Bench bench;
    emu::USBRobot& robot = bench.addUSBRobot("KRV-A");
    USBContext context;
    testing::DeviceRef device =
        testing::findDevice(context, testing::RobotVendor, testing::RobotProduct, "KRV-A");
    USBWorker worker{context.get(), device.get()};
    std::shared_ptr<ConnectionImpl> connection = cable();
};

TEST_F(USBWorkerTest, RefusedPacketsWaitAndEchoesArriveInOrder) {
    const char* tags = "abc";
    for (std::uint8_t port : {2, 2, 1}) {
        Packet packet;
        packet.setPort(port);
        packet.setPayload(std::string(1, *tags++));
        connection->queues.pushSend(packet);
    }
    robot.refuse(3);
    worker.start(connection);
    std::string order;
    for (std::uint64_t seq = 0; seq < 3; ++seq) {
        Packet echo = receive(*connection);
        EXPECT_EQ(echo.seq(), seq);
        order += echo.payload();
    }
    EXPECT_EQ(order, "cab");
    EXPECT_EQ(connection->queues.counters().sent_count, 3u);
    EXPECT_EQ(connection->queues.counters().receive_count, 3u);
    EXPECT_EQ(connection->queues.counters().ack_count, 0u);
    EXPECT_EQ(connection->queues.counters().enqueued_count, 3u);
    worker.stop(connection);
    EXPECT_EQ(robot.received().size(), 3u);
}

TEST_F(USBWorkerTest, OneConnectionAtATimeAndReopeningLinksAgain) {
    worker.start(connection);
    auto other = cable();
    EXPECT_THROW(worker.start(other), std::runtime_error);
    try {
        worker.stop(other);
        ADD_FAILURE() << "stopped a connection the worker does not hold";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Connection does not belong to this thread!");
    }
    worker.stop(connection);
    worker.start(other);
    ASSERT_TRUE(eventually([&] { return robot.controlLog().size() >= 3; }));
    worker.stop(other);
    std::vector<emu::ControlRecord> log = robot.controlLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2].index, 1);  // link on again for the second connection
    EXPECT_EQ(log[3].index, 0);
}

TEST_F(USBWorkerTest, UnplugFailsTheConnection) {
    worker.start(connection);
    ASSERT_TRUE(eventually([&] { return !robot.controlLog().empty(); }));
    robot.unplug();
    try {
        connection->queues.popReceived(0);
        ADD_FAILURE() << "receive on a failed connection succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "LIBUSB_ERROR_NO_DEVICE");
    }
    // The record learns of the failure just after the connection does.
    EXPECT_TRUE(eventually([&] { return worker.errorMessage() == "LIBUSB_ERROR_NO_DEVICE"; }));
    Packet packet;
    EXPECT_THROW(connection->queues.pushSend(packet), std::runtime_error);
    worker.stop(connection);

    // A failed worker stays failed: a new connection gets its error at once
    // and no thread opens the robot again.
    robot.replug();
    std::size_t requests = robot.controlLog().size();
    auto again = cable();
    worker.start(again);
    EXPECT_EQ(testing::failureOf(*again), "LIBUSB_ERROR_NO_DEVICE");
    EXPECT_THROW(worker.start(cable()), std::runtime_error);  // it is still held
    worker.stop(again);
    EXPECT_EQ(robot.controlLog().size(), requests);
}

// The robot may send at any time; what it sent before a stop is delivered.
TEST_F(USBWorkerTest, PacketsTheRobotSendsByItselfArriveUpToTheStop) {
    worker.start(connection);
    WorkSignal& signal = *connection->queues.workSignal();
    for (std::uint8_t tag : {1, 2}) {
        // The worker waits once per packet (nothing raises its signal), with
        // its read in flight: the robot's packet lands in it at once.
        ASSERT_TRUE(eventually([&] { return signal.waitsBegun() >= tag; }));
        robot.queueInbound({0x10, tag});
        if (tag == 1) {
            Packet packet = receive(*connection);
            EXPECT_EQ(packet.payload(), std::string(1, 1));
        }
    }
    worker.stop(connection);
    Packet last = connection->queues.popReceived(1);
    EXPECT_EQ(last.payload(), std::string(1, 2));
    EXPECT_EQ(connection->queues.counters().receive_count, 2u);
}

TEST_F(USBWorkerTest, AStalledReadFailsTheConnectionByName) {
    worker.start(connection);
    ASSERT_TRUE(eventually([&] { return !robot.controlLog().empty(); }));
    robot.stallEndpoint(0x81);
    try {
        connection->queues.popReceived(0);
        ADD_FAILURE() << "receive on a failed connection succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "LIBUSB_ERROR_PIPE");
    }
    EXPECT_TRUE(eventually([&] { return worker.errorMessage() == "LIBUSB_ERROR_PIPE"; }));
    worker.stop(connection);
}

// Two robots on one libusb context, whose events either worker may handle:
// each echo reaches its own connection, in order.
TEST_F(USBWorkerTest, WorkersSharingAContextEachGetTheirOwnEchoes) {
    emu::USBRobot& second = bench.addUSBRobot("KRV-B");
    testing::DeviceRef secondDevice =
        testing::findDevice(context, testing::RobotVendor, testing::RobotProduct, "KRV-B");
    USBWorker secondWorker{context.get(), secondDevice.get()};
    std::shared_ptr<ConnectionImpl> secondConnection = cable();
    worker.start(connection);
    secondWorker.start(secondConnection);
    constexpr int Echoes = 50;
    for (int i = 0; i < Echoes; ++i) {
        for (ConnectionImpl* each : {connection.get(), secondConnection.get()}) {
            Packet packet;
            packet.setPort(1);
            packet.setPayload(std::string(1, char(i)) + (each == connection.get() ? "a" : "b"));
            each->queues.pushSend(packet);
        }
    }
    for (int i = 0; i < Echoes; ++i) {
        EXPECT_EQ(receive(*connection).payload(), std::string(1, char(i)) + "a");
        EXPECT_EQ(receive(*secondConnection).payload(), std::string(1, char(i)) + "b");
    }
    secondWorker.stop(secondConnection);
    worker.stop(connection);
    EXPECT_EQ(second.received().size(), std::size_t(Echoes));
}

}  // namespace
}  // namespace quenfold::orvalis
