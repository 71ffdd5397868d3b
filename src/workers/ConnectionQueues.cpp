#include "workers/ConnectionQueues.hpp"

#include <cstdio>

#include "workers/LinkError.hpp"

namespace quenfold::orvalis {

void ConnectionQueues::pushSend(Packet& packet) {
    // A sender that finds the lock taken (the worker holds it for a plain
    // exchange) says so: the worker steps aside once it lets go.
    MutexLock lock(sendMutex_, senderBlocked_);
    if (failed()) {
        throw WorkerFailure(sendError_);
    }
    packet.setSeq(counters_.enqueued_count.load(std::memory_order_relaxed));
    sendQueue_.push(packet);
    StatisticsCounters::bump(counters_.enqueued_count);
    if (workSignal_) {
        workSignal_->raise();
    }
}

void ConnectionQueues::setWorkSignal(std::shared_ptr<WorkSignal> signal) {
    MutexLock lock(sendMutex_);
    workSignal_ = std::move(signal);
}

std::shared_ptr<WorkSignal> ConnectionQueues::workSignal() const {
    MutexLock lock(sendMutex_);
    return workSignal_;
}

void ConnectionQueues::pushReceived(Packet packet) {
    bool warn = false;
    {
        MutexLock lock(recvMutex_);
        packet.setSeq(counters_.receive_count.load(std::memory_order_relaxed));
        recvQueue_.push(packet);
        StatisticsCounters::bump(counters_.receive_count);
        if (recvQueue_.size() >= UnreadWarning && !warnedUnread_) {
            warnedUnread_ = warn = true;
        }
    }
    recvCondition_.notify_one();
    if (warn) {
        std::fprintf(stderr,
                     "orvapy: %zu received packets wait unread on connection %s; all are kept "
                     "until recv takes them\n",
                     UnreadWarning, name_.c_str());
    }
}

Packet ConnectionQueues::popReceived(std::uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const bool unlimited = timeoutMs == 0;
    const Clock::time_point until =
        unlimited ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
    return takeReceived(until, unlimited).value_or(Packet());
}

bool ConnectionQueues::receivable(bool endOnClose) const {
    return !recvQueue_.empty() || !recvError_.empty() || (endOnClose && closed_);
}

std::optional<Packet> ConnectionQueues::takeReceived(std::chrono::steady_clock::time_point until,
                                                     bool endOnClose) {
    MutexLock lock(recvMutex_);
    if (!receivable(endOnClose)) {
        ++receiveWaits_;
        const bool unlimited = until == std::chrono::steady_clock::time_point::max();
        while (!receivable(endOnClose)) {
            if (unlimited) {
                lock.wait(recvCondition_);
            } else if (!lock.waitUntil(recvCondition_, until)) {
                break;
            }
        }
    }
    if (!recvError_.empty()) {
        throw WorkerFailure(recvError_);
    }
    if (!recvQueue_.empty()) {
        Packet packet = recvQueue_.top();
        recvQueue_.pop();
        return packet;
    }
    if (endOnClose && closed_) {
        return Packet();
    }
    return std::nullopt;
}

bool ConnectionQueues::awaitFirstExchange(std::chrono::steady_clock::time_point until) {
    auto exchanged = [this] { return firstExchangeDone_.load(std::memory_order_acquire); };
    MutexLock lock(recvMutex_);
    if (!exchanged() && recvError_.empty() && !closed_) {
        ++receiveWaits_;
        while (!exchanged() && recvError_.empty() && !closed_ &&
               lock.waitUntil(recvCondition_, until)) {
        }
    }
    return exchanged();
}

ConnectionStatistics ConnectionQueues::statistics() const {
    {
        MutexLock lock(sendMutex_);
        if (failed()) {
            throw WorkerFailure(sendError_);
        }
    }
    return counters_.snapshot();
}

std::uint64_t ConnectionQueues::receiveWaitsBegun() const {
    MutexLock lock(recvMutex_);
    return receiveWaits_;
}

void ConnectionQueues::close() {
    {
        MutexLock lock(recvMutex_);
        closed_ = true;
    }
    recvCondition_.notify_all();
}

void ConnectionQueues::setError(const std::string& message) {
    {
        MutexLock sendLock(sendMutex_);
        MutexLock recvLock(recvMutex_);
        sendError_ = message;
        recvError_ = message;
    }
    recvCondition_.notify_all();
}

std::size_t ConnectionQueues::sendQueueSize() const {
    MutexLock lock(sendMutex_);
    return sendQueue_.size();
}

std::optional<Packet> ConnectionQueues::popSend() {
    MutexLock lock(sendMutex_);
    if (sendQueue_.empty()) {
        return std::nullopt;
    }
    Packet packet = sendQueue_.top();
    sendQueue_.pop();
    return packet;
}

bool ConnectionQueues::markFirstExchange() {
    // A load first: the worker is the flag's only writer, and its first turn
    // the only one that writes.
    if (firstExchangeDone_.load(std::memory_order_relaxed)) {
        return false;
    }
    // Published under the lock, after the delivery: a waiter that sees the
    // flag finds the reply, and none can miss the wake-up.
    {
        MutexLock lock(recvMutex_);
        firstExchangeDone_.store(true, std::memory_order_release);
    }
    recvCondition_.notify_all();
    return true;
}

bool ConnectionQueues::takeSenderBlocked() noexcept {
    // Load first: the store, a write to a line the senders share, only when set.
    if (!senderBlocked_.load(std::memory_order_relaxed)) {
        return false;
    }
    senderBlocked_.store(false, std::memory_order_relaxed);
    return true;
}

}  // namespace quenfold::orvalis
