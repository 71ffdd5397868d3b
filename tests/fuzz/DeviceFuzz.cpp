// Feeds arbitrary device traffic through the real drivers and workers: each
// input is a run of dongle answers (status byte and reply, 0 to 64 bytes)
// and cable packets (0 to 64 bytes), which the emulated devices hand to the
// host on their bulk IN endpoints in place of their own, through the real
// libusb. Whatever comes, no worker may fail, every packet handed out must be
// in range, and the links must echo again afterwards.
//
// Runs under the umockdev preload, like every program that drives the bench
// (scripts/run-fuzzers.sh sets it).
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/NeverDestroyed.hpp"
#include "emu/Bench.hpp"
#include "link/UriParsing.hpp"
#include "workers/ConnectionImpl.hpp"
#include "workers/LinkRegistry.hpp"

namespace {

using namespace quenfold::orvalis;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "device fuzz: %s\n", what.c_str());
    std::abort();
}

// One bench, registry and set of links for the whole run: building them
// takes far longer than an input.
struct Links {
    emu::Bench bench;
    emu::Dongle& dongle = bench.addDongle("FUZZ0");
    emu::USBRobot& robot = bench.addUSBRobot("FUZZR0");
    emu::RadioRobot& air = bench.addRadioRobot(80, 2);
    LinkRegistry registry;
    std::shared_ptr<ConnectionImpl> safelink = open("radio://0/80/2M/E7E7E7E7E7?ackfilter=0");
    std::shared_ptr<ConnectionImpl> plain = open("radio://0/90/2M/E7E7E7E7E7?safelink=0");
    std::shared_ptr<ConnectionImpl> cable = open("usb://0");

    // A link that cannot open would end the run with no word of why: look
    // at the bench again for a while (a device may still be coming up), then
    // say why not.
    std::shared_ptr<ConnectionImpl> open(const std::string& uri) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            try {
                auto connection = std::make_shared<ConnectionImpl>(parseLinkSettings(
                    uri, [&](std::int32_t id) { return registry.findRobot(id); }));
                registry.attachConnection(connection);
                return connection;
            } catch (const std::exception& error) {
                if (std::chrono::steady_clock::now() > until) {
                    fail("cannot open " + uri + ": " + error.what());
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            registry.refreshDevices();
        }
    }
};

Links& links() {
    static NeverDestroyed<Links> made;  // lives as long as the fuzzer runs
    return made.get();
}

void checkAlive(ConnectionImpl& connection) {
    try {
        connection.queues.statistics();
    } catch (const std::exception& error) {
        fail(connection.settings.uri + " failed: " + error.what());
    }
}

// Takes everything received so far; every packet must be in range.
void drain(ConnectionImpl& connection) {
    for (;;) {
        std::optional<Packet> packet =
            connection.queues.takeReceived(std::chrono::steady_clock::now(), false);
        if (!packet) {
            return;
        }
        if (packet->size() > PacketCapacity) {
            fail(connection.settings.uri + " handed out a packet of " + std::to_string(packet->size()));
        }
    }
}

// Sends a packet and waits, within a bound far beyond any normal delay, for
// its echo: the cable robot's echo comes behind the packets queued before it.
bool echoes(ConnectionImpl& connection, const std::string& payload) {
    Packet packet;
    packet.setPort(1);
    packet.setPayload(payload);
    connection.queues.pushSend(packet);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        auto step = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
        std::optional<Packet> reply = connection.queues.takeReceived(step, false);
        if (reply && reply->payload() == payload) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Links& l = links();
    FuzzedDataProvider input(data, size);
    std::size_t answers = 0;
    while (input.remaining_bytes() > 0 && answers < 16) {
        const bool toDongle = input.ConsumeBool();
        Bytes bytes = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(0, 64));
        if (toDongle) {
            l.dongle.queueRawAnswer(std::move(bytes));
            ++answers;
        } else {
            l.robot.queueInbound(std::move(bytes));
        }
    }
    // The radio worker pings without pause: every queued answer is taken
    // within a few exchanges, each counted on the connection it served.
    auto sent = [&l] {
        return l.safelink->queues.counters().sent_count + l.plain->queues.counters().sent_count;
    };
    const std::uint64_t before = sent();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (sent() < before + answers + 1) {
        if (std::chrono::steady_clock::now() > until) {
            fail("the radio worker stopped exchanging");
        }
        std::this_thread::yield();
    }
    if (!echoes(*l.cable, "fuzz")) {
        fail("the cable link no longer echoes");
    }
    for (ConnectionImpl* connection : {l.safelink.get(), l.plain.get(), l.cable.get()}) {
        checkAlive(*connection);
        drain(*connection);
    }
    return 0;
}
