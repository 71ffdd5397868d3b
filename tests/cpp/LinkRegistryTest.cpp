#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchDevices.hpp"
#include "HeldExchange.hpp"
#include "emu/Bench.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {
namespace {

using testing::eventually;

class LinkRegistryTest : public ::testing::Test {
  protected:
    emu::Bench bench;

    std::shared_ptr<ConnectionImpl> open(LinkRegistry& registry, const std::string& uri) {
        auto connection = testing::connectionOn(
            uri, [&](std::int32_t id) { return registry.findRobot(id); });
        registry.attachConnection(connection);
        return connection;
    }

    // Whether the connection's robot answers: a radio connection must be
    // opened with ackfilter=0, a cable one echoes what it is sent.
    static bool answers(ConnectionImpl& connection) {
        if (!connection.settings.isRadio) {
            Packet packet;
            packet.setPayload("hi");
            connection.queues.pushSend(packet);
        }
        return testing::receive(connection).valid();
    }

    // Overlapping channels must never be served by two dongles at once.
    static void expectOverlapsShareADongle(
        const std::vector<std::shared_ptr<ConnectionImpl>>& connections) {
        for (const auto& first : connections) {
            for (const auto& second : connections) {
                const LinkSettings& a = first->settings;
                const LinkSettings& b = second->settings;
                bool overlap = a.channel == b.channel ||
                               (a.datarate == 2 && a.channel + 1 == b.channel) ||
                               (b.datarate == 2 && b.channel + 1 == a.channel);
                if (overlap) {
                    EXPECT_EQ(first->deviceId, second->deviceId) << a.uri << " and " << b.uri;
                }
            }
        }
    }

    std::string refusal(LinkRegistry& registry, const std::string& uri) {
        try {
            open(registry, uri);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "accepted";
    }
};

TEST_F(LinkRegistryTest, IdsFollowSerialsPerKind) {
    bench.addDongle("S1");
    bench.addDongle("S2");
    bench.addUSBRobot("R1");
    LinkRegistry registry;
    EXPECT_EQ(registry.dongleIds(), (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(registry.robotIds(), (std::vector<std::uint64_t>{0}));
    EXPECT_TRUE(registry.findRobot(0).present);
    EXPECT_FALSE(registry.findRobot(1).present);
    EXPECT_EQ(registry.findRobot(1).count, 1u);
}

TEST_F(LinkRegistryTest, NoDongle) {
    LinkRegistry registry;
    EXPECT_EQ(refusal(registry, "radio://*/80/2M/E7E7E7E7E7"), "No Skelder dongle found!");
    EXPECT_EQ(refusal(registry, "radio://0/80/2M/E7E7E7E7E7"),
              "No Skelder with id=0 found.There are 0 Skelders connected.");
    EXPECT_EQ(refusal(registry, "usb://0"),
              "No Korvane with id=0 found. There are 0 Korvanes connected.");
}

TEST_F(LinkRegistryTest, ChoosesTheDongleByConflictsThenByLoad) {
    bench.addDongle("S1");
    bench.addDongle("S2");
    LinkRegistry registry;
    auto ten = open(registry, "radio://*/10/2M/E7E7E7E7E7?autoping=0&safelink=0");
    auto eighty = open(registry, "radio://*/80/2M/E7E7E7E7E7?autoping=0&safelink=0");
    EXPECT_EQ(ten->deviceId, 0);
    EXPECT_EQ(eighty->deviceId, 1);
    // Channel 11 overlaps channel 10 at 2M: same dongle, no error.
    auto eleven = open(registry, "radio://*/11/1M/E7E7E7E7E7?autoping=0&safelink=0");
    EXPECT_EQ(eleven->deviceId, 0);

    EXPECT_EQ(refusal(registry, "radio://3/50/2M/E7E7E7E7E7"),
              "No Skelder with id=3 found.There are 2 Skelders connected.");
    EXPECT_EQ(refusal(registry, "radio://1/10/250K/E7E7E7E7E7"),
              "Channel 10 is already served by Skelder 0. Cannot be served by Skelder 1 "
              "simultaneously.radio://*/10/2M/E7E7E7E7E7?autoping=0&safelink=0 "
              "radio://1/10/250K/E7E7E7E7E7");
    EXPECT_EQ(refusal(registry, "radio://1/9/2M/E7E7E7E7E7"),
              "Channel 10 is already served by Skelder 0. Cannot be served by Skelder 1 (2M mode) "
              "simultaneously.");
    EXPECT_EQ(refusal(registry, "radio://0/81/1M/E7E7E7E7E7"),
              "Channels 80 and 81 are already served by Skelder 1 (2M mode). Cannot be served by "
              "Skelder 0 simultaneously.");
    EXPECT_EQ(refusal(registry, "radio://*/80/2M/E7E7E7E7E7"),
              "Connection radio://*/80/2M/E7E7E7E7E7 is using the same settings as an existing "
              "connection!");
    auto otherAddress = open(registry, "radio://1/80/2M/0000000001?autoping=0&safelink=0");
    EXPECT_EQ(otherAddress->deviceId, 1);
    for (auto& connection : {ten, eighty, eleven, otherAddress}) {
        registry.detachConnection(connection);
        EXPECT_EQ(connection->deviceId, -1);
    }
}

TEST_F(LinkRegistryTest, OverlapsOnSeveralDonglesAreGatheredOnOne) {
    bench.addDongle("S1");
    bench.addDongle("S2");
    bench.addDongle("S3");
    LinkRegistry registry;
    auto ten = open(registry, "radio://0/10/1M/E7E7E7E7E7?safelink=0");
    auto elevenA = open(registry, "radio://1/11/1M/E7E7E7E7E7?safelink=0");
    auto elevenB = open(registry, "radio://1/11/1M/0000000001?safelink=0");
    ASSERT_TRUE(eventually([&] { return ten->queues.counters().sent_count > 0; }));
    auto moved = open(registry, "radio://*/10/2M/0000000002?safelink=0");
    EXPECT_EQ(moved->deviceId, 1);
    EXPECT_EQ(ten->deviceId, 1);  // moved over from dongle 0
    EXPECT_EQ(elevenA->deviceId, 1);
    // The moved connection is served on its new dongle.
    std::uint64_t sent = ten->queues.counters().sent_count;
    ASSERT_TRUE(eventually([&] { return ten->queues.counters().sent_count > sent + 2; }));
    auto third = open(registry, "radio://*/50/2M/E7E7E7E7E7?safelink=0");
    EXPECT_EQ(third->deviceId, 0);  // dongle 0 is empty now
    for (auto& connection : {ten, elevenA, elevenB, moved, third}) {
        registry.detachConnection(connection);
    }
}

TEST_F(LinkRegistryTest, ConflictTieGoesToTheLowestDongle) {
    bench.addDongle("S1");
    bench.addDongle("S2");
    LinkRegistry registry;
    auto ten = open(registry, "radio://0/10/2M/E7E7E7E7E7?safelink=0&autoping=0");
    auto twelve = open(registry, "radio://1/12/1M/E7E7E7E7E7?safelink=0&autoping=0");
    // Channel 11 at 2M overlaps both, one on each dongle: the tie goes to dongle 0.
    auto eleven = open(registry, "radio://*/11/2M/E7E7E7E7E7?safelink=0&autoping=0");
    EXPECT_EQ(eleven->deviceId, 0);
    EXPECT_EQ(ten->deviceId, 0);
    EXPECT_EQ(twelve->deviceId, 0);
    for (auto& connection : {ten, twelve, eleven}) {
        registry.detachConnection(connection);
    }
}

// A connection moved to gather overlapping channels takes along the
// connections that overlap it on its old dongle: moving it alone would part
// channels 9 and 10 over two dongles, after which neither could be opened.
TEST_F(LinkRegistryTest, GatheringMovesWholeOverlapChains) {
    bench.addDongle("S1");
    bench.addDongle("S2");
    LinkRegistry registry;
    const std::string plain = "?safelink=0&autoping=0";
    auto nine = open(registry, "radio://0/9/2M/E7E7E7E7E7" + plain);
    auto ten = open(registry, "radio://0/10/2M/E7E7E7E7E7" + plain);
    auto twelveA = open(registry, "radio://1/12/1M/E7E7E7E7E7" + plain);
    auto twelveB = open(registry, "radio://1/12/1M/0000000001" + plain);
    // Overlaps channel 10 on dongle 0 and both channel-12 connections on dongle 1.
    auto eleven = open(registry, "radio://*/11/2M/E7E7E7E7E7" + plain);
    EXPECT_EQ(eleven->deviceId, 1);
    EXPECT_EQ(ten->deviceId, 1);
    EXPECT_EQ(nine->deviceId, 1);
    expectOverlapsShareADongle({nine, ten, twelveA, twelveB, eleven});
    auto tenAgain = open(registry, "radio://*/10/1M/0000000002" + plain);
    EXPECT_EQ(tenAgain->deviceId, 1);
    EXPECT_EQ(refusal(registry, "radio://0/9/250K/0000000003"),
              "Channel 9 is already served by Skelder 1. Cannot be served by Skelder 0 "
              "simultaneously.radio://0/9/2M/E7E7E7E7E7?safelink=0&autoping=0 "
              "radio://0/9/250K/0000000003");
    for (auto& connection : {nine, ten, twelveA, twelveB, eleven, tenAgain}) {
        registry.detachConnection(connection);
    }
}

// A connection moved to another dongle must not get a turn there while the
// old dongle's worker is still in the middle of one: its safelink state
// belongs to one worker at a time.
TEST_F(LinkRegistryTest, MoveWaitsForTheTurnUnderWayOnTheOldDongle) {
    bench.addDongle("S1");
    bench.addDongle("S2");
    LinkRegistry registry;
    auto busy = open(registry, "radio://0/10/1M/E7E7E7E7E7");
    auto stays = open(registry, "radio://0/50/2M/E7E7E7E7E7?safelink=0");  // keeps dongle 0 running
    auto elevenA = open(registry, "radio://1/11/1M/E7E7E7E7E7?safelink=0");
    auto elevenB = open(registry, "radio://1/11/1M/0000000001?safelink=0");
    testing::HeldExchange hold([&](const ConnectionImpl& c) { return &c == busy.get(); });
    hold.awaitHeld();
    auto opener = std::async(std::launch::async, [&] {
        return open(registry, "radio://*/10/2M/0000000002?safelink=0");
    });
    RadioWorker& old = registry.radioWorker(0);
    auto opened = [&] {
        return opener.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    };
    bool settled =
        eventually([&] { return old.snapshotWaiters() > 0 || hold.servedTwice() || opened(); });
    bool servedTwice = hold.servedTwice();
    bool openedEarly = opened();
    hold.release();
    ASSERT_TRUE(settled);
    EXPECT_FALSE(servedTwice);
    EXPECT_FALSE(openedEarly);
    auto moved = opener.get();
    EXPECT_EQ(busy->deviceId, 1);
    EXPECT_FALSE(hold.servedTwice());
    for (auto& connection : {busy, stays, elevenA, elevenB, moved}) {
        registry.detachConnection(connection);
    }
}

// After a shutdown the devices are closed: a later call must never return,
// or it could start workers on them again. The call is made in a child
// process, which ends itself once the call is seen parked.
TEST_F(LinkRegistryTest, ShutdownParksLaterCallers) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bench.addDongle("S1");
            LinkRegistry registry;
            registry.shutdown();
            std::atomic<bool> returned{false};
            std::thread caller([&] {
                registry.dongleIds();
                returned = true;
            });
            bool settled = eventually([&] { return registry.parkedCallers() == 1 || returned; });
            const char* outcome = returned ? "a call after the shutdown returned"
                                  : settled ? "the call is parked"
                                            : "the call neither returned nor waited";
            std::fprintf(stderr, "%s\n", outcome);
            std::fflush(stderr);
            std::_Exit(returned || !settled ? 1 : 0);  // the parked thread goes with the process
        },
        ::testing::ExitedWithCode(0), "the call is parked");
}

TEST_F(LinkRegistryTest, USBRobotCarriesOneConnection) {
    bench.addUSBRobot("R1");
    LinkRegistry registry;
    auto first = open(registry, "usb://0");
    EXPECT_EQ(refusal(registry, "usb://0"), "Cannot operate more than one connection over USB!");
    registry.detachConnection(first);
    registry.detachConnection(first);  // a second close does nothing
    auto second = open(registry, "usb://0");
    registry.detachConnection(second);
}

TEST_F(LinkRegistryTest, FailedDongleIsForgottenAndFoundAgain) {
    emu::Dongle& s1 = bench.addDongle("S1");
    emu::Dongle& s2 = bench.addDongle("S2");
    bench.addRadioRobot(80, 2);
    LinkRegistry registry;
    auto a = open(registry, "radio://0/10/2M/E7E7E7E7E7?safelink=0");
    auto b = open(registry, "radio://0/30/2M/E7E7E7E7E7");
    ASSERT_TRUE(eventually([&] { return b->queues.counters().sent_count > 0; }));
    // Ids follow the order in which libusb lists the dongles: dongle 0 is
    // the one that has been spoken to.
    emu::Dongle& first = s1.controlLog().empty() ? s2 : s1;
    first.unplug();
    for (auto& connection : {a, b}) {
        EXPECT_THROW(connection->queues.popReceived(0), std::runtime_error);
        EXPECT_EQ(testing::failureOf(*connection), "LIBUSB_ERROR_NO_DEVICE");
    }
    registry.refreshDevices();
    EXPECT_EQ(registry.dongleIds(), (std::vector<std::uint64_t>{1}));
    // Ids keep their serials: a gap is not a missing dongle.
    EXPECT_EQ(refusal(registry, "radio://0/80/2M/E7E7E7E7E7"),
              "No Skelder with id=0 found.There are 1 Skelders connected.");
    auto any = open(registry, "radio://*/60/2M/E7E7E7E7E7?safelink=0");
    EXPECT_EQ(any->deviceId, 1);
    registry.detachConnection(any);
    // Closing a connection of the forgotten dongle succeeds and does nothing more.
    EXPECT_NO_THROW(registry.detachConnection(a));
    EXPECT_EQ(a->deviceId, -1);

    first.replug();
    registry.refreshDevices();
    EXPECT_EQ(registry.dongleIds(), (std::vector<std::uint64_t>{0, 1}));
    auto again = open(registry, "radio://0/80/2M/E7E7E7E7E7?safelink=0&ackfilter=0");
    EXPECT_TRUE(testing::receive(*again).valid());
    registry.detachConnection(again);
}

// Unplugged and plugged back while nothing used them: one refresh replaces
// the records that still name the devices that left, under the same ids.
TEST_F(LinkRegistryTest, IdleDevicesBackServeAfterOneRefresh) {
    emu::Dongle& dongle = bench.addDongle("S1");
    emu::USBRobot& cable = bench.addUSBRobot("R1");
    bench.addRadioRobot(80, 2);
    LinkRegistry registry;
    dongle.unplug();
    cable.unplug();
    dongle.replug();
    cable.replug();
    registry.refreshDevices();
    EXPECT_EQ(registry.dongleIds(), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(registry.robotIds(), (std::vector<std::uint64_t>{0}));
    auto radio = open(registry, "radio://0/80/2M/E7E7E7E7E7?safelink=0&ackfilter=0");
    auto usb = open(registry, "usb://0");
    EXPECT_TRUE(answers(*radio));
    EXPECT_TRUE(answers(*usb));
    registry.detachConnection(radio);
    registry.detachConnection(usb);

    // Gone and not back: the refresh forgets them, the ids stay theirs.
    dongle.unplug();
    cable.unplug();
    registry.refreshDevices();
    EXPECT_TRUE(registry.dongleIds().empty());
    EXPECT_TRUE(registry.robotIds().empty());
    EXPECT_EQ(refusal(registry, "radio://*/80/2M/E7E7E7E7E7"), "No Skelder dongle found!");
    dongle.replug();
    cable.replug();
    registry.refreshDevices();
    EXPECT_EQ(registry.dongleIds(), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(registry.robotIds(), (std::vector<std::uint64_t>{0}));
}

// Unplugged while in use, so that their workers failed, then plugged back:
// one refresh forgets the failed records and makes new ones under the same
// ids; closing the failed connections afterwards neither fails nor touches
// the new connections.
TEST_F(LinkRegistryTest, FailedDevicesBackServeAfterOneRefresh) {
    emu::Dongle& dongle = bench.addDongle("S1");
    emu::USBRobot& cable = bench.addUSBRobot("R1");
    bench.addRadioRobot(80, 2);
    LinkRegistry registry;
    auto radio = open(registry, "radio://0/80/2M/E7E7E7E7E7?safelink=0&ackfilter=0");
    auto usb = open(registry, "usb://0");
    ASSERT_TRUE(answers(*radio));
    ASSERT_TRUE(answers(*usb));
    dongle.unplug();
    cable.unplug();
    for (auto& connection : {radio, usb}) {
        EXPECT_THROW(connection->queues.popReceived(0), std::runtime_error);
    }
    dongle.replug();
    cable.replug();
    registry.refreshDevices();
    EXPECT_EQ(registry.dongleIds(), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(registry.robotIds(), (std::vector<std::uint64_t>{0}));
    auto radioAgain = open(registry, "radio://0/80/2M/E7E7E7E7E7?safelink=0&ackfilter=0");
    auto usbAgain = open(registry, "usb://0");
    EXPECT_TRUE(answers(*radioAgain));
    EXPECT_TRUE(answers(*usbAgain));

    EXPECT_NO_THROW(registry.detachConnection(radio));
    EXPECT_NO_THROW(registry.detachConnection(usb));
    EXPECT_EQ(radio->deviceId, -1);
    EXPECT_EQ(usb->deviceId, -1);
    EXPECT_TRUE(answers(*radioAgain));
    EXPECT_TRUE(answers(*usbAgain));
    registry.detachConnection(radioAgain);
    registry.detachConnection(usbAgain);
}

TEST_F(LinkRegistryTest, FailedCableRecordIsForgotten) {
    emu::USBRobot& cable = bench.addUSBRobot("R1");
    LinkRegistry registry;
    auto usb = open(registry, "usb://0");
    ASSERT_TRUE(answers(*usb));
    cable.unplug();
    EXPECT_THROW(usb->queues.popReceived(0), std::runtime_error);
    registry.refreshDevices();
    EXPECT_TRUE(registry.robotIds().empty());
    EXPECT_NO_THROW(registry.detachConnection(usb));
}

}  // namespace
}  // namespace quenfold::orvalis
