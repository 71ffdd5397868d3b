#include "workers/RadioTurn.hpp"

#include <atomic>
#include <cstring>
#include <optional>

#include "workers/ConnectionImpl.hpp"
#include "usb/Skelder.hpp"

namespace quenfold::orvalis {
namespace {

constexpr std::uint8_t PingHeader = 0xFF;
constexpr std::uint8_t SafelinkEnable[] = {0xFF, 0x05, 0x01};
constexpr std::uint8_t DownBit = 0x04;

std::atomic<ExchangeHook> exchangeHook{nullptr};

void tune(Skelder& dongle, const LinkSettings& connection) {
    if (dongle.address() != connection.address) {
        dongle.setAddress(connection.address);
    }
    if (dongle.channel() != connection.channel) {
        dongle.setChannel(static_cast<std::uint8_t>(connection.channel));
    }
    if (dongle.datarate() != connection.datarate) {
        dongle.setDatarate(connection.datarate);
    }
    if (!dongle.enableFlag()) {
        dongle.setEnableFlag(true);
    }
}

using capture::ExchangeKind;

RadioAck exchange(Skelder& dongle, ConnectionImpl& connection, ExchangeKind kind, std::uint64_t seq,
                  const std::uint8_t* bytes, std::uint64_t size) {
    RadioAck ack = dongle.sendPacket(bytes, static_cast<std::uint32_t>(size));
    dongle.tap().radioExchange(connection.settings.uri, kind, seq, bytes, size, ack.raw.data(),
                               ack.size);
    StatisticsCounters::bump(connection.queues.counters().sent_count);
    if (ack.tooLong) {
        StatisticsCounters::bump(connection.queues.counters().too_long_count);
    }
    return ack;
}

// The point between an exchange, counted and with no queue lock held, and
// the look at its acknowledgement.
void afterExchange(ConnectionImpl& connection) {
    if (ExchangeHook hook = exchangeHook.load(std::memory_order_acquire)) {
        hook(connection);
    }
}

Packet pingPacket() {
    Packet ping;
    ping.setRawSize(1);
    return ping;
}

// Counts an accepted acknowledgement and queues its reply; an empty reply
// becomes the header-only packet 0xFF unless the connection filters it.
TurnOutcome deliver(ConnectionImpl& connection, const RadioAck& ack) {
    StatisticsCounters::bump(connection.queues.counters().ack_count);
    if (ack.size == 0 && connection.settings.ackfilter) {
        return TurnOutcome::Exchanged;
    }
    Packet reply;
    if (ack.size == 0) {
        reply.rawData()[0] = PingHeader;
        reply.setRawSize(1);
    } else {
        std::memcpy(reply.rawData(), ack.payload(), ack.size);
        reply.setRawSize(ack.size);
    }
    connection.queues.pushReceived(reply);
    return TurnOutcome::Woke;
}

// Without safelink the packet stays queued, under the queue lock, until an
// acknowledgement proves it arrived; the lock makes sure the packet popped is
// the one that was sent.
TurnOutcome plainTurn(Skelder& dongle, ConnectionImpl& connection) {
    RadioAck ack;
    const bool sent = connection.queues.sendHead([&](const Packet& top) {
        ack = exchange(dongle, connection, ExchangeKind::Packet, top.seq(), top.rawData(),
                       top.size());
        return ack.acknowledged();
    });
    if (!sent) {
        if (!connection.settings.autoping) {
            return TurnOutcome::Idle;
        }
        // A ping takes nothing from the queue: a send meanwhile need not
        // wait for its exchange.
        ack = exchange(dongle, connection, ExchangeKind::Ping, 0, &PingHeader, 1);
    }
    afterExchange(connection);
    return ack.acknowledged() ? deliver(connection, ack) : TurnOutcome::Exchanged;
}

TurnOutcome handshakeTurn(Skelder& dongle, ConnectionImpl& connection, SafelinkState& safelink) {
    RadioAck ack = exchange(dongle, connection, ExchangeKind::Handshake, 0, SafelinkEnable,
                            sizeof SafelinkEnable);
    afterExchange(connection);
    if (!ack.acknowledged()) {
        return TurnOutcome::Exchanged;
    }
    safelink.initialized = true;
    return deliver(connection, ack);
}

// With safelink a packet leaves the queue at once; until it is acknowledged it
// waits in pendingPacket and goes out again byte for byte.
TurnOutcome safelinkTurn(Skelder& dongle, ConnectionImpl& connection, SafelinkState& safelink) {
    Packet packet;
    ExchangeKind kind = ExchangeKind::Resend;
    if (safelink.pendingPacket.valid()) {
        packet = safelink.pendingPacket;
    } else {
        kind = ExchangeKind::Packet;
        if (std::optional<Packet> queued = connection.queues.popSend()) {
            packet = *queued;
        } else if (connection.settings.autoping) {
            packet = pingPacket();
            kind = ExchangeKind::Ping;
        } else {
            return TurnOutcome::Idle;
        }
        packet.setSafelinkBits(safelink.up, safelink.down);
    }

    RadioAck ack =
        exchange(dongle, connection, kind, packet.seq(), packet.rawData(), packet.size());
    afterExchange(connection);
    if (!ack.acknowledged()) {
        safelink.pendingPacket = packet;
        return TurnOutcome::Exchanged;
    }
    safelink.up = !safelink.up;
    if (safelink.pendingPacket.valid()) {
        safelink.pendingPacket = Packet();
    }
    bool downBit = ack.size >= 1 && (ack.payload()[0] & DownBit) != 0;
    if (ack.size >= 1 && downBit == safelink.down) {
        safelink.down = !safelink.down;
        return deliver(connection, ack);
    }
    return TurnOutcome::Exchanged;
}

// Whether the connection's turn makes an exchange. Only the serving worker
// takes packets from the queue, so a packet seen here is still there when the
// turn sends it.
bool hasExchange(const ConnectionImpl& connection, const SafelinkState& safelink) {
    const LinkSettings& settings = connection.settings;
    if (settings.autoping ||
        (settings.safelink && (!safelink.initialized || safelink.pendingPacket.valid()))) {
        return true;
    }
    return connection.queues.sendQueueSize() != 0;
}

}  // namespace

TurnOutcome radioTurn(Skelder& dongle, ConnectionImpl& connection, SafelinkState& safelink) {
    // A retune costs a control request: worth it only for an exchange.
    if (!hasExchange(connection, safelink)) {
        return TurnOutcome::Idle;
    }
    const LinkSettings& settings = connection.settings;
    dongle.tap().setConnection(&settings.uri);  // retunes are made for this connection
    tune(dongle, settings);
    TurnOutcome outcome;
    if (!settings.safelink) {
        outcome = plainTurn(dongle, connection);
    } else if (!safelink.initialized) {
        outcome = handshakeTurn(dongle, connection, safelink);
    } else {
        outcome = safelinkTurn(dongle, connection, safelink);
    }
    if (outcome == TurnOutcome::Idle) {
        return outcome;
    }
    // Scan probes wait for the first exchange (ConnectionQueues::awaitFirstExchange).
    if (connection.queues.markFirstExchange()) {
        outcome = TurnOutcome::Woke;
    }
    if (connection.queues.takeSenderBlocked()) {
        outcome = TurnOutcome::Woke;
    }
    return outcome;
}

void setExchangeHook(ExchangeHook hook) noexcept {
    exchangeHook.store(hook, std::memory_order_release);
}

}  // namespace quenfold::orvalis
