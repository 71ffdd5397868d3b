#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "orvalis/Packet.hpp"
#include "workers/PacketOrder.hpp"
#include "workers/StatisticsCounters.hpp"
#include "base/WorkSignal.hpp"

namespace quenfold::orvalis {

// What the link registry knows about directly attached robots when a usb://
// URI is parsed: whether the named id is one of its robots, and how many
// robots it knows (for the message when it is not).
struct RobotPresence {
    bool present = false;
    std::size_t count = 0;
};
using RobotLookup = std::function<RobotPresence(std::int32_t id)>;

// The state of one connection, shared by the host's handle and the worker
// that serves it.
struct ConnectionImpl {
    std::string uri;
    // -1: any dongle before assignment, or closed after removal. Written under
    // the registry lock, read without it.
    std::atomic<std::int32_t> deviceId{0};
    StatisticsCounters statistics;
    bool isRadio = false;
    std::int32_t channel = 0;
    std::int32_t datarate = 0;
    std::uint64_t address = 0;
    bool safelink = false;
    bool autoping = false;
    bool ackfilter = false;
    // Used by the serving worker only.
    bool safelinkInitialized = false;
    bool safelinkDown = false;
    bool safelinkUp = false;

    std::mutex sendQueueMutex;
    PacketQueue sendQueue;
    Packet pendingPacket;  // used by the serving radio worker only
    // The wake-up call of the serving worker, raised by every queued packet.
    // Guarded by sendQueueMutex.
    std::shared_ptr<WorkSignal> workSignal;
    // Set by a sender that found sendQueueMutex taken (the worker holds it
    // for a plain exchange): the worker then steps aside once it lets go, so
    // the packet is queued before the next turn. Only a hint for scheduling.
    std::atomic<bool> senderBlocked{false};

    std::mutex recvQueueMutex;
    std::condition_variable recvQueueCondition;
    PacketQueue recvQueue;
    // Waits begun by receivers, counted under recvQueueMutex just before a
    // receiver waits: seen under that lock, a count means it surely waits.
    std::uint64_t receiveWaits = 0;

    // Set by the serving worker, its only writer, once its first exchange for
    // the connection has finished: whatever that brought is in recvQueue first.
    std::atomic<bool> firstExchangeDone{false};

    // Written under both queue mutexes, read under either.
    std::string errorMessage;

    // Fills a fresh state from a URI; throws with the URI's fault.
    void parse(const std::string& text, const RobotLookup& robots);

    // Stamps the caller's packet with the next send sequence number and queues
    // a copy. Fails, changing nothing, once the error slot is set.
    void pushSend(Packet& packet);

    // Makes a queued packet wake the worker that raises this signal.
    void setWorkSignal(std::shared_ptr<WorkSignal> signal);

    // Stamps a received packet with the next receive sequence number, queues
    // it and wakes one waiter.
    void pushReceived(Packet packet);

    // Takes the next received packet, waiting up to timeoutMs (0: without
    // limit). Returns the empty packet when the time runs out, or, waiting
    // without limit, once the connection is closed with nothing left to take.
    // Fails with the stored error, also when it is stored while waiting.
    Packet popReceived(std::uint32_t timeoutMs);

    // One bounded part of a wait, for callers that must stay responsive while
    // they wait: the next received packet, or nothing when `until` passes
    // first. With endOnClose, a closed connection with nothing left to take
    // gives the empty packet at once.
    std::optional<Packet> takeReceived(std::chrono::steady_clock::time_point until,
                                       bool endOnClose);

    // Waits until the serving worker has finished its first exchange for this
    // connection, the connection has failed or been closed, or `until` has
    // passed; returns whether the first exchange has finished. The worker
    // wakes receivers once, at that exchange.
    bool awaitFirstExchange(std::chrono::steady_clock::time_point until);

    // Records a worker's failure and wakes every waiter, so that nobody keeps
    // waiting for packets that will not come.
    void setError(const std::string& message);

    // Wakes every waiting receiver, so that it can see that the connection
    // was closed.
    void wakeReceivers();

    // How many waits receivers have begun (see receiveWaits).
    std::uint64_t receiveWaitsBegun();

    // Throws the stored error, if any. The caller holds one of the queue mutexes.
    void throwIfFailed() const;
};

}  // namespace quenfold::orvalis
