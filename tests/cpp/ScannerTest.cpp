#include <gtest/gtest.h>

#include <future>
#include <set>
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

constexpr std::uint8_t SetChannel = 0x01;
constexpr std::uint8_t SetDatarate = 0x03;

// The channels a dongle was tuned to while at the given data rate, from the
// requests it received.
std::set<int> channelsTunedAt(const emu::Dongle& dongle, int datarate) {
    std::set<int> channels;
    int current = -1;
    for (const emu::ControlRecord& request : dongle.controlLog()) {
        if (request.request == SetDatarate) {
            current = request.value;
        } else if (request.request == SetChannel && current == datarate) {
            channels.insert(request.value);
        }
    }
    return channels;
}

// A scan's probes are spread over both dongles at every data rate, 2M
// included, where neighbouring channels overlap and so must never be probed
// on two dongles at once; the results keep their fixed order.
TEST_F(ScannerTest, ProbesUseEveryDongle) {
    emu::Dongle& first = bench.addDongle("S1");
    emu::Dongle& second = bench.addDongle("S2");
    bench.addRadioRobot(7, 0);
    bench.addRadioRobot(80, 2);
    bench.addRadioRobot(81, 2);
    LinkRegistry registry;
    EXPECT_EQ(Scanner(registry).scan(0xE7E7E7E7E7),
              (std::vector<std::string>{"radio://*/7/250K/E7E7E7E7E7", "radio://*/80/2M/E7E7E7E7E7",
                                        "radio://*/81/2M/E7E7E7E7E7"}));
    for (int datarate : {0, 1, 2}) {
        // About half each; a third leaves room for a loaded machine.
        EXPECT_GE(channelsTunedAt(first, datarate).size(), 40u) << datarate;
        EXPECT_GE(channelsTunedAt(second, datarate).size(), 40u) << datarate;
    }
}

// A worker preempted between counting an exchange and delivering its
// acknowledgement must not make the probe give up on a robot that answered.
TEST_F(ScannerTest, ProbeWaitsForTheExchangeToFinish) {
    bench.addDongle("S1");
    bench.addRadioRobot(80, 2);
    LinkRegistry registry;
    testing::HeldExchange hold([](const ConnectionImpl& c) {
        return c.settings.channel == 80 && c.settings.datarate == 2;
    });
    auto found =
        std::async(std::launch::async, [&] { return Scanner(registry).scan(0xE7E7E7E7E7); });

    ConnectionImpl& probe = hold.awaitHeld();
    std::uint64_t waits = probe.queues.receiveWaitsBegun();
    // Two more waits begun: one whole wait passed while the exchange was
    // counted but unfinished, and the probe decided what to do after it.
    ASSERT_TRUE(eventually(
        [&] { return probe.queues.receiveWaitsBegun() >= waits + 2 || probe.deviceId < 0; }));
    hold.release();
    EXPECT_EQ(found.get(), std::vector<std::string>{"radio://*/80/2M/E7E7E7E7E7"});
}

}  // namespace
}  // namespace quenfold::orvalis
