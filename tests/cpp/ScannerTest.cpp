#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "BenchDevices.hpp"
#include "HeldExchange.hpp"
#include "emu/Bench.hpp"
#include "link/Scanner.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {
namespace {

using testing::eventually;

class ScannerTest : public ::testing::Test {
  protected:
    emu::Bench bench;
};

// A worker preempted between counting an exchange and delivering its
// acknowledgement must not make the probe give up on a robot that answered.
TEST_F(ScannerTest, ProbeWaitsForTheExchangeToFinish) {
    bench.addDongle("S1");
    bench.addRadioRobot(80, 2);
    LinkRegistry registry;
    testing::HeldExchange hold(
        [](const ConnectionImpl& c) { return c.channel == 80 && c.datarate == 2; });
    auto found =
        std::async(std::launch::async, [&] { return Scanner(registry).scan(0xE7E7E7E7E7); });

    ConnectionImpl& probe = hold.awaitHeld();
    std::uint64_t waits = probe.receiveWaitsBegun();
    // Two more waits begun: one whole wait passed while the exchange was
    // counted but unfinished, and the probe decided what to do after it.
    ASSERT_TRUE(
        eventually([&] { return probe.receiveWaitsBegun() >= waits + 2 || probe.deviceId < 0; }));
    hold.release();
    EXPECT_EQ(found.get(), std::vector<std::string>{"radio://*/80/2M/E7E7E7E7E7"});
}

}  // namespace
}  // namespace quenfold::orvalis
