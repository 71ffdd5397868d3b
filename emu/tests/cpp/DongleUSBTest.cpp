#include <gtest/gtest.h>

#include <libusb.h>

#include <optional>
#include <vector>

#include "USBClient.hpp"
#include "emu/BenchTest.hpp"

namespace quenfold::orvalis::emu {
namespace {

using testing::USBClient;
using Bytes = std::vector<std::uint8_t>;

class DongleOverUSB : public BenchTest {
  protected:
    void SetUp() override {
        BenchTest::SetUp();
        dongle = &bench().addDongle("EMU0");
        client.emplace();
        ASSERT_TRUE(client->open(0x1915, 0x7777, "EMU0"));
    }
    void TearDown() override {
        client.reset();
        BenchTest::TearDown();
    }

    // One packet out and the dongle's answer back, as the radio driver does it.
    Bytes exchange(const Bytes& packet) {
        EXPECT_EQ(client->write(packet).status, 0);
        auto [status, answer] = client->read(33, 1000);
        EXPECT_EQ(status, 0);
        return answer;
    }

    Dongle* dongle = nullptr;
    // Made after the bench: libusb must start up while the testbed exists.
    std::optional<USBClient> client;
};

TEST_F(DongleOverUSB, VendorRequestsAreLoggedByteForByteAndTuneTheRadio) {
    EXPECT_EQ(client->vendorOut(0x03, 1, 0), 0);
    EXPECT_EQ(client->vendorOut(0x01, 80, 0), 0);
    EXPECT_EQ(client->vendorOut(0x02, 0, 0, {0x01, 0x02, 0x03, 0x04, 0x05}), 5);
    EXPECT_EQ(client->vendorOut(0x10, 1, 0), 0);
    EXPECT_EQ(dongle->controlLog(), (std::vector<ControlRecord>{
                                        {0x03, 1, 0, {}},
                                        {0x01, 80, 0, {}},
                                        {0x02, 0, 0, {0x01, 0x02, 0x03, 0x04, 0x05}},
                                        {0x10, 1, 0, {}},
                                    }));
    EXPECT_EQ(dongle->channel(), 80);
    EXPECT_EQ(dongle->datarate(), 1);
    EXPECT_EQ(dongle->address(), 0x0102030405u);
}

TEST_F(DongleOverUSB, UnknownRequestStallsAndIsStillLogged) {
    EXPECT_EQ(client->vendorOut(0x42, 0, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(dongle->controlLog(), (std::vector<ControlRecord>{{0x42, 0, 0, {}}}));
}

TEST_F(DongleOverUSB, ControlFaultsHitOnlyTheNextRequest) {
    dongle->failNextControl();
    EXPECT_EQ(client->vendorOut(0x01, 10, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(dongle->channel(), 2);
    dongle->timeOutNextControl();
    EXPECT_EQ(client->vendorOut(0x01, 11, 0, {}, 50), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(dongle->channel(), 2);
    EXPECT_EQ(client->vendorOut(0x01, 12, 0), 0);
    EXPECT_EQ(dongle->channel(), 12);
    EXPECT_EQ(dongle->controlLog().size(), 3u);
}

TEST_F(DongleOverUSB, RobotInTheAirAcknowledgesAndEchoesOnTheNextExchange) {
    RadioRobot& robot = bench().addRadioRobot(80, 2);
    EXPECT_EQ(exchange({0x21, 1, 2}), Bytes{0x00});  // the dongle is on channel 2
    ASSERT_EQ(client->vendorOut(0x01, 80, 0), 0);
    EXPECT_EQ(exchange({0x21, 3, 4}), Bytes{0x01});
    EXPECT_EQ(exchange({0xFF}), (Bytes{0x01, 0x21, 3, 4}));
    EXPECT_EQ(robot.received(), (std::vector<Bytes>{{0x21, 3, 4}, {0xFF}}));
    EXPECT_EQ(dongle->bulkOutLog(), (std::vector<Bytes>{{0x21, 1, 2}, {0x21, 3, 4}, {0xFF}}));
}

TEST_F(DongleOverUSB, RawAnswersOfOneAnd33Bytes) {
    Bytes full(33);
    for (std::size_t i = 0; i < full.size(); ++i) {
        full[i] = static_cast<std::uint8_t>(i);
    }
    dongle->queueRawAnswer({0x01});
    dongle->queueRawAnswer(full);
    EXPECT_EQ(exchange({0xFF}), Bytes{0x01});
    EXPECT_EQ(exchange({0xFF}), full);
}

TEST_F(DongleOverUSB, AnAnswerLongerThanTheReadOverflowsWithWhatFitted) {
    Bytes full(33);
    for (std::size_t i = 0; i < full.size(); ++i) {
        full[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    dongle->queueRawAnswer(full);
    EXPECT_EQ(client->write({0xFF}).status, 0);
    auto [status, start] = client->read(4, 1000);
    EXPECT_EQ(status, LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(start, Bytes(full.begin(), full.begin() + 4));
    // The read after it gets its own answer, whole.
    dongle->queueRawAnswer({0x01, 0x42});
    EXPECT_EQ(exchange({0xFF}), (Bytes{0x01, 0x42}));
}

TEST_F(DongleOverUSB, SilentDongleLetsTheReadTimeOut) {
    bench().addRadioRobot(2, 2);
    dongle->stopAnswering(true);
    EXPECT_EQ(client->write({0xFF}).status, 0);
    EXPECT_EQ(client->read(33, 20).first, LIBUSB_ERROR_TIMEOUT);
    dongle->stopAnswering(false);
    EXPECT_EQ(exchange({0xFF}), Bytes{0x01});
}

TEST_F(DongleOverUSB, ReadWithNothingPendingTimesOut) {
    EXPECT_EQ(client->read(33, 10).first, LIBUSB_ERROR_TIMEOUT);
}

}  // namespace
}  // namespace quenfold::orvalis::emu
