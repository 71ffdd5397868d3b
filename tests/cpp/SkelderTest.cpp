#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "BenchDevices.hpp"
#include "emu/Bench.hpp"
#include "usb/Skelder.hpp"
#include "usb/USBError.hpp"

namespace quenfold::orvalis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Request = std::tuple<int, int, int, Bytes>;
using testing::findDevice;

std::vector<Request> requestsOf(const emu::Dongle& dongle) {
    std::vector<Request> requests;
    for (const emu::ControlRecord& record : dongle.controlLog()) {
        requests.emplace_back(record.request, record.value, record.index, record.data);
    }
    return requests;
}

std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no error";
}

class SkelderTest : public ::testing::Test {
  protected:
    emu::Bench bench;
    emu::Dongle& dongle = bench.addDongle("SKD-A", 0x0102);
    USBContext context;
    testing::DeviceRef device =
        findDevice(context, testing::SkelderVendor, testing::SkelderProduct, "SKD-A");
};

TEST_F(SkelderTest, OpeningSendsTheStartUpSettings) {
    Skelder skelder(device.get());
    const Bytes e7(5, 0xE7);
    EXPECT_EQ(requestsOf(dongle), (std::vector<Request>{{0x03, 2, 0, {}},
                                                        {0x01, 2, 0, {}},
                                                        {0x20, 0, 0, {}},
                                                        {0x02, 0, 0, e7},
                                                        {0x04, 3, 0, {}},
                                                        {0x06, 3, 0, {}},
                                                        {0x05, 0xA0, 0, {}},
                                                        {0x10, 1, 0, {}}}));
    EXPECT_EQ(skelder.channel(), 2);
    EXPECT_EQ(skelder.datarate(), 2);
    EXPECT_EQ(skelder.address(), 0xE7E7E7E7E7u);
    EXPECT_TRUE(skelder.enableFlag());
    EXPECT_EQ(skelder.versionMajor(), 1);
    EXPECT_EQ(skelder.versionMinor(), 2);
}

TEST_F(SkelderTest, SettersSendExactRequestsAndCacheOnlyAfterSuccess) {
    Skelder skelder(device.get());
    std::size_t startUp = dongle.controlLog().size();
    skelder.setAddress(0x0102030405);
    skelder.setChannel(125);
    skelder.setDatarate(0);
    skelder.setEnableFlag(false);
    std::vector<Request> sent = requestsOf(dongle);
    sent.erase(sent.begin(), sent.begin() + static_cast<long>(startUp));
    EXPECT_EQ(sent, (std::vector<Request>{{0x02, 0, 0, {1, 2, 3, 4, 5}},
                                          {0x01, 125, 0, {}},
                                          {0x03, 0, 0, {}},
                                          {0x10, 0, 0, {}}}));
    EXPECT_EQ(skelder.address(), 0x0102030405u);
    EXPECT_EQ(skelder.channel(), 125);
    EXPECT_EQ(dongle.channel(), 125);

    dongle.failNextControl();
    EXPECT_EQ(errorOf([&] { skelder.setChannel(7); }), "LIBUSB_ERROR_PIPE");
    EXPECT_EQ(skelder.channel(), 125);
    dongle.failNextControl();
    EXPECT_EQ(errorOf([&] { skelder.setAddress(1); }), "LIBUSB_ERROR_PIPE");
    EXPECT_EQ(skelder.address(), 0x0102030405u);
}

TEST_F(SkelderTest, AnswersOfEveryLength) {
    Skelder skelder(device.get());
    const std::uint8_t packet[] = {0x30, 1, 2};

    dongle.queueRawAnswer({0x01});
    RadioAck ack = skelder.sendPacket(packet, sizeof packet);
    EXPECT_TRUE(ack.acknowledged());
    EXPECT_EQ(ack.size, 0u);

    Bytes full(33);
    for (std::size_t i = 0; i < full.size(); ++i) {
        full[i] = static_cast<std::uint8_t>(i | 1);
    }
    dongle.queueRawAnswer(full);
    ack = skelder.sendPacket(packet, sizeof packet);
    EXPECT_TRUE(ack.acknowledged());
    ASSERT_EQ(ack.size, 32u);
    EXPECT_EQ(Bytes(ack.payload(), ack.payload() + 32), Bytes(full.begin() + 1, full.end()));

    dongle.queueRawAnswer({});
    ack = skelder.sendPacket(packet, sizeof packet);
    EXPECT_FALSE(ack.acknowledged());
    EXPECT_EQ(ack.size, 0u);
    EXPECT_EQ(ack.raw[0], 0);

    dongle.stopAnswering(true);
    ack = skelder.sendPacket(packet, sizeof packet);
    EXPECT_FALSE(ack.acknowledged());
    EXPECT_EQ(ack.size, 0u);
    dongle.stopAnswering(false);

    EXPECT_EQ(dongle.bulkOutLog().size(), 4u);
    EXPECT_EQ(dongle.bulkOutLog().back(), Bytes(packet, packet + sizeof packet));
}

TEST_F(SkelderTest, ExchangesWithARobotInTheAir) {
    emu::RadioRobot& robot = bench.addRadioRobot(80, 2);
    Skelder skelder(device.get());
    const std::uint8_t ping[] = {0xFF};
    EXPECT_FALSE(skelder.sendPacket(ping, 1).acknowledged());  // nobody on channel 2

    skelder.setChannel(80);
    const std::uint8_t packet[] = {0x30, 7, 8};
    EXPECT_TRUE(skelder.sendPacket(packet, sizeof packet).acknowledged());
    RadioAck echo;
    ASSERT_TRUE(testing::eventually([&] {
        echo = skelder.sendPacket(ping, 1);
        return echo.size > 0;
    }));
    EXPECT_EQ(Bytes(echo.payload(), echo.payload() + echo.size), Bytes(packet, packet + 3));
    EXPECT_EQ(robot.received().front(), Bytes(packet, packet + 3));
}

TEST_F(SkelderTest, TransferFailuresAreReportedByName) {
    Skelder skelder(device.get());
    Bytes packet(32, 0x11);
    dongle.shortWrite(20);
    EXPECT_EQ(errorOf([&] { skelder.sendPacket(packet.data(), 32); }),
              "Did transfer 20 but 32 was requested!");

    dongle.stallEndpoint(0x01);
    EXPECT_EQ(errorOf([&] { skelder.sendPacket(packet.data(), 1); }), "LIBUSB_ERROR_PIPE");

    dongle.unplug();
    EXPECT_EQ(errorOf([&] { skelder.sendPacket(packet.data(), 1); }), "LIBUSB_ERROR_NO_DEVICE");
    EXPECT_EQ(errorOf([&] { skelder.setChannel(9); }), "LIBUSB_ERROR_NO_DEVICE");
    EXPECT_EQ(skelder.channel(), 2);
}

// A request the dongle never answers ends by its time-out, as an error that
// keeps libusb's code; the setting stays as it was.
TEST_F(SkelderTest, ControlTimeoutIsAnError) {
    Skelder skelder(device.get());
    dongle.timeOutNextControl();
    auto attempt = std::async(std::launch::async, [&]() -> int {
        try {
            skelder.setDatarate(1);
        } catch (const USBError& error) {
            EXPECT_STREQ(error.what(), "LIBUSB_ERROR_TIMEOUT");
            return error.code();
        }
        return 0;
    });
    if (attempt.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        dongle.unplug();  // ends the request, so the thread can be joined
        attempt.wait();
        FAIL() << "a control request that is never answered did not time out";
    }
    EXPECT_EQ(attempt.get(), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(skelder.datarate(), 2);
}

TEST_F(SkelderTest, FailedStartUpLeavesTheDeviceClosed) {
    dongle.failNextControl();
    EXPECT_EQ(errorOf([&] { Skelder failing(device.get()); }), "LIBUSB_ERROR_PIPE");
    EXPECT_EQ(dongle.controlLog().size(), 1u);  // nothing after the failing request
    Skelder reopened(device.get());             // interface 0 was released
    EXPECT_EQ(reopened.channel(), 2);
}

TEST_F(SkelderTest, UnpluggedDeviceCannotBeOpened) {
    dongle.unplug();
    EXPECT_EQ(errorOf([&] { Skelder gone(device.get()); }), "LIBUSB_ERROR_NO_DEVICE");
}

}  // namespace
}  // namespace quenfold::orvalis
