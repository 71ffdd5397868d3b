#pragma once

// The meeting point of a connection's host threads and the worker that
// serves it: the send and receive queues, the error slot, the counters and
// the wake-ups. Host threads queue packets to send and take received ones;
// the serving worker takes packets to send and queues received ones. Every
// field a lock guards says which; nothing is reached from outside.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/Mutex.hpp"
#include "base/WorkSignal.hpp"
#include "orvalis/ConnectionStatistics.hpp"
#include "orvalis/Packet.hpp"
#include "workers/PacketOrder.hpp"
#include "workers/StatisticsCounters.hpp"

namespace quenfold::orvalis {

class ConnectionQueues {
  public:
    // Every received packet is kept until it is taken: a reader that never
    // reads (autoping with ackfilter=0 queues one packet per exchange) makes
    // the queue grow without limit. Dropping packets silently would be worse,
    // so the queue keeps them all and, the first time this many wait, says
    // so once on stderr.
    static constexpr std::size_t UnreadWarning = 100000;

    // `name` (the URI) is what the warning calls the connection.
    explicit ConnectionQueues(std::string name = {}) : name_(std::move(name)) {}
    ConnectionQueues(const ConnectionQueues&) = delete;
    ConnectionQueues& operator=(const ConnectionQueues&) = delete;

    // --- Host threads ---

    // Stamps the caller's packet with the next send sequence number and queues
    // a copy. Fails, changing nothing, once the error slot is set.
    void pushSend(Packet& packet) EXCLUDES(sendMutex_);

    // Takes the next received packet, waiting up to timeoutMs (0: without
    // limit). Returns the empty packet when the time runs out, or, waiting
    // without limit, once the connection is closed with nothing left to take.
    // Fails with the stored error, also when it is stored while waiting.
    Packet popReceived(std::uint32_t timeoutMs) EXCLUDES(recvMutex_);

    // One bounded part of a wait, for callers that must stay responsive while
    // they wait: the next received packet, or nothing when `until` passes
    // first. With endOnClose, a closed connection with nothing left to take
    // gives the empty packet at once.
    std::optional<Packet> takeReceived(std::chrono::steady_clock::time_point until,
                                       bool endOnClose) EXCLUDES(recvMutex_);

    // Waits until the serving worker has finished its first exchange for this
    // connection, the connection has failed or been closed, or `until` has
    // passed; returns whether the first exchange has finished.
    bool awaitFirstExchange(std::chrono::steady_clock::time_point until) EXCLUDES(recvMutex_);

    // The counters; fails with the stored error.
    ConnectionStatistics statistics() const EXCLUDES(sendMutex_);

    // How many waits receivers have begun, counted under the receive lock
    // just before a receiver waits: a count seen means it surely waits.
    std::uint64_t receiveWaitsBegun() const EXCLUDES(recvMutex_);

    // --- The registry ---

    // Makes a queued packet wake the worker that raises this signal.
    void setWorkSignal(std::shared_ptr<WorkSignal> signal) EXCLUDES(sendMutex_);
    std::shared_ptr<WorkSignal> workSignal() const EXCLUDES(sendMutex_);

    // Marks the connection closed and wakes every waiting receiver, so that
    // a wait without limit ends.
    void close() EXCLUDES(recvMutex_);

    // --- The serving worker ---

    // The live counters, which the worker bumps for its exchanges.
    StatisticsCounters& counters() noexcept { return counters_; }

    // Stamps a received packet with the next receive sequence number, queues
    // it and wakes one waiter.
    void pushReceived(Packet packet) EXCLUDES(recvMutex_);

    // Records a worker's failure and wakes every waiter, so that nobody keeps
    // waiting for packets that will not come. The text is never empty.
    void setError(const std::string& message) EXCLUDES(sendMutex_, recvMutex_);

    std::size_t sendQueueSize() const EXCLUDES(sendMutex_);

    // Calls `send(packet)` with the next packet to send, under the send lock,
    // and takes the packet from the queue when it returns true: the packet
    // stays queued until its transfer is proven. Returns false, calling
    // nothing, when the queue is empty.
    template <typename Send>
    bool sendHead(Send send) EXCLUDES(sendMutex_) {
        MutexLock lock(sendMutex_);
        if (sendQueue_.empty()) {
            return false;
        }
        if (send(sendQueue_.top())) {
            sendQueue_.pop();
        }
        return true;
    }

    // Takes the next packet to send at once, if there is one.
    std::optional<Packet> popSend() EXCLUDES(sendMutex_);

    // Marks the worker's first exchange as finished and wakes its waiters;
    // whatever that exchange brought is queued already. Returns whether this
    // call was the first.
    bool markFirstExchange() EXCLUDES(recvMutex_);

    // Whether a sender found the send lock taken since the last call: the
    // worker then steps aside, so the packet is queued before the next
    // turn. Only a hint for scheduling.
    bool takeSenderBlocked() noexcept;
    // The same hint, left as it is.
    bool senderBlocked() const noexcept { return senderBlocked_.load(std::memory_order_relaxed); }

  private:
    bool receivable(bool endOnClose) const REQUIRES(recvMutex_);
    bool failed() const REQUIRES(sendMutex_) { return !sendError_.empty(); }

    const std::string name_;
    StatisticsCounters counters_;

    mutable Mutex sendMutex_;
    PacketQueue sendQueue_ GUARDED_BY(sendMutex_);
    std::shared_ptr<WorkSignal> workSignal_ GUARDED_BY(sendMutex_);
    // The error, for senders; the same text as recvError_.
    std::string sendError_ GUARDED_BY(sendMutex_);
    std::atomic<bool> senderBlocked_{false};

    mutable Mutex recvMutex_;
    std::condition_variable recvCondition_;
    PacketQueue recvQueue_ GUARDED_BY(recvMutex_);
    std::string recvError_ GUARDED_BY(recvMutex_);
    bool closed_ GUARDED_BY(recvMutex_) = false;
    bool warnedUnread_ GUARDED_BY(recvMutex_) = false;
    std::uint64_t receiveWaits_ GUARDED_BY(recvMutex_) = 0;
    // Written by the serving worker, its only writer, once; read without a
    // lock by the worker and under recvMutex_ by waiters.
    std::atomic<bool> firstExchangeDone_{false};
};

}  // namespace quenfold::orvalis
