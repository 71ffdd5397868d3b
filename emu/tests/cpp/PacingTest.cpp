#include <gtest/gtest.h>

#include <libusb.h>

#include <chrono>
#include <vector>

#include "USBClient.hpp"
#include "emu/BenchTest.hpp"

namespace quenfold::orvalis::emu {
namespace {

using testing::USBClient;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

class Pace : public BenchTest {};

// Paced, the bench is never faster than the hardware: each bound below is a
// least time, which a loaded machine only exceeds.
TEST_F(Pace, HardwarePaceTakesTheAirTimeOfEachDataRateAndAFramePerControlRequest) {
    bench().setPacing(Pacing::hardware());
    bench().addDongle("EMU0");
    USBClient client;
    ASSERT_TRUE(client.open(0x1915, 0x7777, "EMU0"));
    constexpr int Rounds = 4;
    for (int datarate = 0; datarate < 3; ++datarate) {
        bench().addRadioRobot(10 + datarate, datarate);
        ASSERT_EQ(client.vendorOut(0x03, datarate, 0), 0);
        ASSERT_EQ(client.vendorOut(0x01, 10 + datarate, 0), 0);
        auto started = Clock::now();
        for (int round = 0; round < Rounds; ++round) {
            ASSERT_EQ(client.write({0xF3}).status, 0);
            auto [status, answer] = client.read(33);
            ASSERT_EQ(status, 0);
            EXPECT_EQ(answer, Bytes{0x01});
        }
        EXPECT_GE(Clock::now() - started, Rounds * Pacing::hardware().exchange[datarate]);
    }
    auto started = Clock::now();
    for (int round = 0; round < Rounds; ++round) {
        ASSERT_EQ(client.vendorOut(0x01, 12, 0), 0);
    }
    EXPECT_GE(Clock::now() - started, Rounds * Pacing::hardware().control);
}

// The testbed's one thread serves every device: a device waiting out its air
// time must leave it free for the others.
TEST_F(Pace, ADeviceTakingItsTimeHoldsUpNoOtherDevice) {
    Pacing slow;
    for (auto& exchange : slow.exchange) {
        exchange = std::chrono::hours(1);
    }
    bench().addDongle("EMU0");
    bench().setPacing(slow);  // devices already there and added later alike
    bench().addDongle("EMU1");
    bench().addUSBRobot("EMUR0");
    bench().addRadioRobot(2, 2);
    USBClient dongle;
    USBClient otherDongle;
    USBClient robot;
    ASSERT_TRUE(dongle.open(0x1915, 0x7777, "EMU0"));
    ASSERT_TRUE(otherDongle.open(0x1915, 0x7777, "EMU1"));
    ASSERT_TRUE(robot.open(0x0483, 0x5740, "EMUR0"));
    ASSERT_EQ(dongle.write({0xF3}).status, 0);
    ASSERT_EQ(otherDongle.write({0xF3}).status, 0);
    // The answers are an hour away; meanwhile the cable answers at once.
    EXPECT_EQ(dongle.read(33, 50).first, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(otherDongle.read(33, 50).first, LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(robot.write({0x10, 0x01}).status, 0);
    EXPECT_EQ(robot.read(64, 10000), std::make_pair(0, Bytes{0x10, 0x01}));
    bench().setPacing(Pacing::fast());
    EXPECT_EQ(dongle.write({0xF3}).status, 0);
}

}  // namespace
}  // namespace quenfold::orvalis::emu
