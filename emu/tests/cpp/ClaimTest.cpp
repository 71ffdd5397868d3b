// Interface claims as the kernel keeps them: one holder per interface among
// the open nodes of a device, whatever process they belong to.
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

class Claims : public BenchTest {
  protected:
    void SetUp() override {
        BenchTest::SetUp();
        robot = &bench().addUSBRobot("EMUR0");
        first.emplace();
        second.emplace();
        ASSERT_TRUE(first->open(0x0483, 0x5740, "EMUR0"));
    }
    void TearDown() override {
        first.reset();
        second.reset();
        BenchTest::TearDown();
    }

    bool echoes(USBClient& client, std::uint8_t tag) {
        if (client.write({0x10, tag}).status != 0) {
            return false;
        }
        auto [status, answer] = client.read();
        return status == 0 && answer == Bytes{0x10, tag};
    }

    USBRobot* robot = nullptr;
    // Two libusb contexts, so two open nodes: as two programs would be.
    std::optional<USBClient> first;
    std::optional<USBClient> second;
};

TEST_F(Claims, ASecondClaimIsRefusedAndTheHolderLosesNothing) {
    ASSERT_TRUE(echoes(*first, 1));
    EXPECT_FALSE(second->open(0x0483, 0x5740, "EMUR0"));
    EXPECT_EQ(second->claimStatus(), LIBUSB_ERROR_BUSY);
    // Refused more than once, and the serial stays readable meanwhile.
    EXPECT_FALSE(second->open(0x0483, 0x5740, "EMUR0"));
    EXPECT_EQ(second->serials(0x0483, 0x5740), std::vector<std::string>{"EMUR0"});
    for (std::uint8_t tag = 2; tag < 12; ++tag) {
        EXPECT_TRUE(echoes(*first, tag)) << "echo " << int(tag);
    }
    EXPECT_EQ(robot->received().size(), 11u);
}

TEST_F(Claims, AReleasedOrClosedClaimCanBeTaken) {
    first->close();  // releases, then closes
    ASSERT_TRUE(second->open(0x0483, 0x5740, "EMUR0"));
    EXPECT_TRUE(echoes(*second, 1));
    EXPECT_FALSE(first->open(0x0483, 0x5740, "EMUR0"));
    EXPECT_EQ(first->claimStatus(), LIBUSB_ERROR_BUSY);
    // A context that goes without releasing closes its node: the claim goes too.
    second.reset();
    ASSERT_TRUE(first->open(0x0483, 0x5740, "EMUR0"));
    EXPECT_TRUE(echoes(*first, 2));
}

TEST_F(Claims, AReplugStartsWithNoClaims) {
    robot->unplug();
    robot->replug();
    ASSERT_TRUE(second->open(0x0483, 0x5740, "EMUR0"));
    EXPECT_TRUE(echoes(*second, 1));
}

}  // namespace
}  // namespace quenfold::orvalis::emu
