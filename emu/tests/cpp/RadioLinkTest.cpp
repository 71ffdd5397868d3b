#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "SafelinkHost.hpp"
#include "USBClient.hpp"
#include "emu/BenchTest.hpp"

namespace quenfold::orvalis::emu {
namespace {

using testing::SafelinkHost;
using testing::USBClient;
using Bytes = std::vector<std::uint8_t>;

class RadioLink : public BenchTest {};

// The whole way, as a radio worker goes it: libusb, the dongle's vendor
// requests and bulk endpoints, the lossy air and the robot's safelink.
TEST_F(RadioLink, SafelinkThroughTheDongleDeliversExactlyOnceUnderLoss) {
    bench().addDongle("EMU0");
    RadioRobot& robot = bench().addRadioRobot(80, 1, 0x0102030405);
    robot.setSeed(99);
    robot.setLoss(0.2, 0.2);
    USBClient client;
    ASSERT_TRUE(client.open(0x1915, 0x7777, "EMU0"));
    ASSERT_EQ(client.vendorOut(0x01, 80, 0), 0);
    ASSERT_EQ(client.vendorOut(0x03, 1, 0), 0);
    ASSERT_EQ(client.vendorOut(0x02, 0, 0, {0x01, 0x02, 0x03, 0x04, 0x05}), 5);

    SafelinkHost host([&client](const Bytes& packet) -> std::optional<Bytes> {
        EXPECT_EQ(client.write(packet).transferred, static_cast<int>(packet.size()));
        auto [status, answer] = client.read(33);
        if (status != 0 || answer.empty() || (answer[0] & 0x01) == 0) {
            return std::nullopt;
        }
        return Bytes(answer.begin() + 1, answer.end());
    });
    host.handshake();
    std::vector<Bytes> sent = testing::numberedPackets(40);
    EXPECT_EQ(host.transfer(sent, 4000), sent);
    EXPECT_TRUE(robot.safelinkActive());
}

}  // namespace
}  // namespace quenfold::orvalis::emu
