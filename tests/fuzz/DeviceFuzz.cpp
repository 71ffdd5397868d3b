// Feeds arbitrary device traffic through the real drivers and workers: each
// input is a run of dongle answers (status byte and reply, 0 to 64 bytes)
// and cable packets (0 to 64 bytes), which the emulated devices hand to the
// host on their bulk IN endpoints in place of their own, through the real
// libusb. Whatever comes, no worker may fail, every packet handed out must be
// in range, and the links must exchange and echo again afterwards.
//
// The safelink link and the plain one have a dongle each, so neither retunes
// for the other's turn; the dongle answers of an input go to them in turn,
// the first to the safelink link. A link given answers makes exactly one
// exchange per answer and one more (ExchangeGate.hpp), so everything an
// input sent is dealt with within that input.
//
// Runs under the umockdev preload, like every program that drives the bench
// (scripts/run-fuzzers.sh sets it).
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/NeverDestroyed.hpp"
#include "emu/Bench.hpp"
#include "ExchangeGate.hpp"
#include "link/UriParsing.hpp"
#include "workers/ConnectionImpl.hpp"
#include "workers/LinkRegistry.hpp"

namespace {

using namespace quenfold::orvalis;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Far beyond any normal delay on a loaded machine.
constexpr auto Patience = std::chrono::seconds(20);
// The bench's first look at a new device may come late on a loaded machine.
constexpr auto OpenPatience = std::chrono::seconds(30);

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "device fuzz: %s\n", what.c_str());
    std::abort();
}

// One bench, registry and set of links for the whole run: building them
// takes far longer than an input.
struct Links {
    emu::Bench bench;
    std::array<emu::Dongle*, fuzzing::ExchangeGate::LinkCount> dongles{
        &bench.addDongle("FUZZ0"), &bench.addDongle("FUZZ1")};
    emu::USBRobot& robot = bench.addUSBRobot("FUZZR0");
    emu::RadioRobot& air = bench.addRadioRobot(80, 2);
    fuzzing::ExchangeGate gate;
    LinkRegistry registry;
    // In the order of the gate's links.
    std::array<std::shared_ptr<ConnectionImpl>, fuzzing::ExchangeGate::LinkCount> radio{
        open("radio://0/80/2M/E7E7E7E7E7?ackfilter=0"),
        open("radio://1/90/2M/E7E7E7E7E7?safelink=0")};
    std::shared_ptr<ConnectionImpl> cable = open("usb://0");
    std::uint64_t lastEcho = 0;  // numbers the cable echoes

    Links() {
        const auto until = Clock::now() + Patience;
        for (std::size_t link = 0; link < radio.size(); ++link) {
            gate.track(link, radio[link].get());
            if (!radio[link]->queues.awaitFirstExchange(until)) {
                fail(radio[link]->settings.uri + " made no first exchange");
            }
        }
        // Which dongle serves which link is the registry's choice: tell them
        // apart by the channel each is tuned to.
        if (dongles[0]->channel() != radio[0]->settings.channel) {
            std::swap(dongles[0], dongles[1]);
        }
        if (!gate.close(until)) {
            fail("the radio workers did not stop at the gate");
        }
    }

    // A link that cannot open would end the run with no word of why: look
    // at the bench again for a while (a device may still be coming up), then
    // say why not.
    std::shared_ptr<ConnectionImpl> open(const std::string& uri) {
        const auto until = Clock::now() + OpenPatience;
        for (;;) {
            try {
                auto connection = std::make_shared<ConnectionImpl>(parseLinkSettings(
                    uri, [&](std::int32_t id) { return registry.findRobot(id); }));
                registry.attachConnection(connection);
                return connection;
            } catch (const std::exception& error) {
                if (Clock::now() > until) {
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

void checkRange(const ConnectionImpl& connection, const Packet& packet) {
    if (packet.size() > PacketCapacity) {
        fail(connection.settings.uri + " handed out a packet of " + std::to_string(packet.size()));
    }
}

// Takes everything received so far; every packet must be in range.
void drain(ConnectionImpl& connection) {
    while (std::optional<Packet> packet = connection.queues.takeReceived(Clock::now(), false)) {
        checkRange(connection, *packet);
    }
}

// Sends a packet and waits for its echo, which the cable robot sends behind
// the packets queued before it; the payload is new each time, so that an
// inbound packet or a late echo cannot pass for it.
bool echoes(ConnectionImpl& connection, std::uint64_t number) {
    const std::string payload = "fuzz" + std::to_string(number);
    Packet packet;
    packet.setPort(1);
    packet.setPayload(payload);
    try {
        connection.queues.pushSend(packet);
        const auto until = Clock::now() + Patience;
        while (std::optional<Packet> reply = connection.queues.takeReceived(until, false)) {
            checkRange(connection, *reply);
            if (reply->payload() == payload) {
                return true;
            }
        }
    } catch (const std::exception& error) {
        fail(connection.settings.uri + " failed: " + error.what());
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Links& l = links();
    FuzzedDataProvider input(data, size);
    std::size_t answers = 0;
    fuzzing::ExchangeGate::Counts exchanges{};
    bool inbound = false;
    while (input.remaining_bytes() > 0 && answers < 16) {
        const bool toDongle = input.ConsumeBool();
        Bytes bytes = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange(0, 64));
        if (toDongle) {
            const std::size_t link = answers++ % exchanges.size();
            l.dongles[link]->queueRawAnswer(std::move(bytes));
            ++exchanges[link];
        } else {
            l.robot.queueInbound(std::move(bytes));
            inbound = true;
        }
    }
    // The cable worker takes the inbound packets while the radio links
    // exchange. One exchange more than its answers lets a link deal with the
    // reply to its last answer.
    for (std::uint64_t& count : exchanges) {
        count += count > 0 ? 1 : 0;
    }
    if (!l.gate.run(exchanges, Clock::now() + Patience)) {
        for (const auto& connection : l.radio) {
            checkAlive(*connection);
        }
        fail("a radio worker stopped exchanging");
    }
    // Without inbound packets the cable link is only checked alive: its
    // echo was seen after the last input that sent it something.
    if (inbound && !echoes(*l.cable, ++l.lastEcho)) {
        fail("the cable link no longer echoes");
    }
    for (ConnectionImpl* connection : {l.radio[0].get(), l.radio[1].get(), l.cable.get()}) {
        checkAlive(*connection);
        drain(*connection);
    }
    return 0;
}
