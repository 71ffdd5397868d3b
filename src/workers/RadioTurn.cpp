#include "workers/RadioTurn.hpp"

#include <atomic>
#include <cstring>
#include <mutex>

#include "link/ConnectionImpl.hpp"
#include "usb/Skelder.hpp"

namespace quenfold::orvalis {
namespace {

constexpr std::uint8_t PingHeader = 0xFF;
constexpr std::uint8_t SafelinkEnable[] = {0xFF, 0x05, 0x01};
constexpr std::uint8_t DownBit = 0x04;

std::atomic<ExchangeHook> exchangeHook{nullptr};

void tune(Skelder& dongle, const ConnectionImpl& connection) {
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
    dongle.tap().radioExchange(connection.uri, kind, seq, bytes, size, ack.raw.data(), ack.size);
    StatisticsCounters::bump(connection.statistics.sent_count);
    if (ack.tooLong) {
        StatisticsCounters::bump(connection.statistics.too_long_count);
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
    StatisticsCounters::bump(connection.statistics.ack_count);
    if (ack.size == 0 && connection.ackfilter) {
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
    connection.pushReceived(reply);
    return TurnOutcome::Woke;
}

// Without safelink the packet stays queued, under the queue lock, until an
// acknowledgement proves it arrived; the lock makes sure the packet popped is
// the one that was sent.
TurnOutcome plainTurn(Skelder& dongle, ConnectionImpl& connection) {
    RadioAck ack;
    {
        std::unique_lock<std::mutex> lock(connection.sendQueueMutex);
        if (!connection.sendQueue.empty()) {
            const Packet& top = connection.sendQueue.top();
            ack = exchange(dongle, connection, ExchangeKind::Packet, top.seq(), top.rawData(),
                           top.size());
            if (ack.acknowledged()) {
                connection.sendQueue.pop();
            }
        } else if (connection.autoping) {
            // A ping takes nothing from the queue: a send meanwhile need not
            // wait for its exchange.
            lock.unlock();
            ack = exchange(dongle, connection, ExchangeKind::Ping, 0, &PingHeader, 1);
        } else {
            return TurnOutcome::Idle;
        }
    }
    afterExchange(connection);
    return ack.acknowledged() ? deliver(connection, ack) : TurnOutcome::Exchanged;
}

TurnOutcome handshakeTurn(Skelder& dongle, ConnectionImpl& connection) {
    RadioAck ack = exchange(dongle, connection, ExchangeKind::Handshake, 0, SafelinkEnable,
                            sizeof SafelinkEnable);
    afterExchange(connection);
    if (!ack.acknowledged()) {
        return TurnOutcome::Exchanged;
    }
    connection.safelinkInitialized = true;
    return deliver(connection, ack);
}

// With safelink a packet leaves the queue at once; until it is acknowledged it
// waits in pendingPacket and goes out again byte for byte.
TurnOutcome safelinkTurn(Skelder& dongle, ConnectionImpl& connection) {
    Packet packet;
    ExchangeKind kind = ExchangeKind::Resend;
    if (connection.pendingPacket.valid()) {
        packet = connection.pendingPacket;
    } else {
        kind = ExchangeKind::Packet;
        {
            std::lock_guard<std::mutex> lock(connection.sendQueueMutex);
            if (!connection.sendQueue.empty()) {
                packet = connection.sendQueue.top();
                connection.sendQueue.pop();
            } else if (connection.autoping) {
                packet = pingPacket();
                kind = ExchangeKind::Ping;
            } else {
                return TurnOutcome::Idle;
            }
        }
        packet.setSafelinkBits(connection.safelinkUp, connection.safelinkDown);
    }

    RadioAck ack =
        exchange(dongle, connection, kind, packet.seq(), packet.rawData(), packet.size());
    afterExchange(connection);
    if (!ack.acknowledged()) {
        connection.pendingPacket = packet;
        return TurnOutcome::Exchanged;
    }
    connection.safelinkUp = !connection.safelinkUp;
    if (connection.pendingPacket.valid()) {
        connection.pendingPacket = Packet();
    }
    bool downBit = ack.size >= 1 && (ack.payload()[0] & DownBit) != 0;
    if (ack.size >= 1 && downBit == connection.safelinkDown) {
        connection.safelinkDown = !connection.safelinkDown;
        return deliver(connection, ack);
    }
    return TurnOutcome::Exchanged;
}

// Whether the connection's turn makes an exchange. Only the serving worker
// takes packets from the queue, so a packet seen here is still there when the
// turn sends it.
bool hasExchange(ConnectionImpl& connection) {
    if (connection.autoping || (connection.safelink && (!connection.safelinkInitialized ||
                                                        connection.pendingPacket.valid()))) {
        return true;
    }
    std::lock_guard<std::mutex> lock(connection.sendQueueMutex);
    return !connection.sendQueue.empty();
}

}  // namespace

TurnOutcome radioTurn(Skelder& dongle, ConnectionImpl& connection) {
    // A retune costs a control request: worth it only for an exchange.
    if (!hasExchange(connection)) {
        return TurnOutcome::Idle;
    }
    dongle.tap().setConnection(&connection.uri);  // retunes are made for this connection
    tune(dongle, connection);
    TurnOutcome outcome;
    if (!connection.safelink) {
        outcome = plainTurn(dongle, connection);
    } else if (!connection.safelinkInitialized) {
        outcome = handshakeTurn(dongle, connection);
    } else {
        outcome = safelinkTurn(dongle, connection);
    }
    if (outcome == TurnOutcome::Idle) {
        return outcome;
    }
    // Published after the delivery: whoever sees the flag finds the reply.
    // A load first: the worker is the flag's only writer, and its first turn
    // the only one that writes.
    if (!connection.firstExchangeDone.load(std::memory_order_relaxed)) {
        connection.firstExchangeDone.store(true, std::memory_order_release);
        // Scan probes wait for the first one (ConnectionImpl::awaitFirstExchange).
        connection.wakeReceivers();
        outcome = TurnOutcome::Woke;
    }
    // Load first: the store, a write to a line the senders share, only when set.
    if (connection.senderBlocked.load(std::memory_order_relaxed)) {
        connection.senderBlocked.store(false, std::memory_order_relaxed);
        outcome = TurnOutcome::Woke;
    }
    return outcome;
}

void setExchangeHook(ExchangeHook hook) noexcept {
    exchangeHook.store(hook, std::memory_order_release);
}

}  // namespace quenfold::orvalis
