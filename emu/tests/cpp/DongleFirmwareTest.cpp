#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "emu/Air.hpp"
#include "emu/DongleFirmware.hpp"

namespace quenfold::orvalis::emu {
namespace {

using Bytes = USBFunction::Bytes;

class DongleFirmwareTest : public ::testing::Test {
  protected:
    // Sends a packet and takes the answer it produced.
    std::optional<Bytes> exchange(const Bytes& packet) {
        EXPECT_TRUE(dongle.acceptOut(packet));
        return dongle.takeIn();
    }

    Air air;
    DongleFirmware dongle{air};
};

TEST_F(DongleFirmwareTest, StartsOnChannel2At2MWithTheDefaultAddress) {
    EXPECT_EQ(dongle.settings(), (RadioSettings{2, 2, 0xE7E7E7E7E7}));
}

TEST_F(DongleFirmwareTest, VendorRequestsTuneTheRadio) {
    EXPECT_TRUE(dongle.vendorRequest({0x01, 125, 0, {}}));
    EXPECT_TRUE(dongle.vendorRequest({0x03, 0, 0, {}}));
    EXPECT_TRUE(dongle.vendorRequest({0x02, 0, 0, {0x01, 0x02, 0x03, 0x04, 0x05}}));
    EXPECT_EQ(dongle.settings(), (RadioSettings{125, 0, 0x0102030405}));
    EXPECT_TRUE(dongle.vendorRequest({0x10, 0, 0, {}}));
    EXPECT_FALSE(dongle.enabled());
}

TEST_F(DongleFirmwareTest, StartUpRequestsSucceedOnlyWithTheirValues) {
    EXPECT_TRUE(dongle.vendorRequest({0x04, 3, 0, {}}));
    EXPECT_TRUE(dongle.vendorRequest({0x05, 0xA0, 0, {}}));
    EXPECT_TRUE(dongle.vendorRequest({0x06, 3, 0, {}}));
    EXPECT_TRUE(dongle.vendorRequest({0x20, 0, 0, {}}));
    EXPECT_FALSE(dongle.vendorRequest({0x04, 2, 0, {}}));
}

TEST_F(DongleFirmwareTest, MalformedOrUnknownRequestsStallAndChangeNothing) {
    EXPECT_FALSE(dongle.vendorRequest({0x07, 0, 0, {}}));
    EXPECT_FALSE(dongle.vendorRequest({0x01, 40, 1, {}}));
    EXPECT_FALSE(dongle.vendorRequest({0x03, 3, 0, {}}));
    EXPECT_FALSE(dongle.vendorRequest({0x02, 0, 0, {1, 2, 3, 4}}));
    EXPECT_EQ(dongle.settings(), RadioSettings{});
}

TEST_F(DongleFirmwareTest, AnswerIsStatusThenAcknowledgementPayload) {
    RadioRobot& robot = air.addRobot({2, 2, 0xE7E7E7E7E7});
    EXPECT_EQ(exchange({0x21, 1, 2}), Bytes{0x01});
    EXPECT_EQ(exchange({0xFF}), (Bytes{0x01, 0x21, 1, 2}));
    EXPECT_EQ(robot.received().size(), 2u);
}

TEST_F(DongleFirmwareTest, OnlyTheRobotWhereTheDongleIsTunedHears) {
    RadioRobot& on80 = air.addRobot({80, 2, 0xE7E7E7E7E7});
    RadioRobot& on90 = air.addRobot({90, 2, 0xE7E7E7E7E7});
    EXPECT_EQ(exchange({0xFF}), Bytes{0x00});  // channel 2: nobody
    dongle.vendorRequest({0x01, 90, 0, {}});
    EXPECT_EQ(exchange({0xFF}), Bytes{0x01});
    dongle.vendorRequest({0x03, 1, 0, {}});
    EXPECT_EQ(exchange({0xFF}), Bytes{0x00});  // 1M: nobody
    EXPECT_TRUE(on80.received().empty());
    EXPECT_EQ(on90.received().size(), 1u);
}

TEST_F(DongleFirmwareTest, RawAnswerStandsInForTheAirsAnswer) {
    RadioRobot& robot = air.addRobot({2, 2, 0xE7E7E7E7E7});
    Bytes full(33, 0xAB);
    dongle.queueRawAnswer(full);
    dongle.queueRawAnswer({});
    EXPECT_EQ(exchange({0x21, 1}), full);
    EXPECT_EQ(exchange({0x21, 2}), Bytes{});
    EXPECT_EQ(exchange({0xFF}), Bytes{0x01});
    EXPECT_EQ(robot.received().size(), 1u);
}

TEST_F(DongleFirmwareTest, StoppedDongleTakesPacketsButNeverAnswers) {
    air.addRobot({2, 2, 0xE7E7E7E7E7});
    dongle.stopAnswering(true);
    EXPECT_EQ(exchange({0xFF}), std::nullopt);
    dongle.stopAnswering(false);
    EXPECT_EQ(dongle.takeIn(), std::nullopt);
    EXPECT_EQ(exchange({0xFF}), Bytes{0x01});
}

TEST_F(DongleFirmwareTest, UnpluggedDongleForgetsItsSettingsAndAnswers) {
    air.addRobot({2, 2, 0xE7E7E7E7E7});
    dongle.vendorRequest({0x01, 80, 0, {}});
    dongle.acceptOut({0xFF});
    dongle.unplugged();
    EXPECT_EQ(dongle.settings(), RadioSettings{});
    EXPECT_EQ(dongle.takeIn(), std::nullopt);
}

}  // namespace
}  // namespace quenfold::orvalis::emu
