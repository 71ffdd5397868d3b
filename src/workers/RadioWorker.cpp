#include "workers/RadioWorker.hpp"

#include <algorithm>
#include <thread>

#include "usb/Skelder.hpp"
#include "workers/RadioTurn.hpp"

namespace quenfold::orvalis {

RadioWorker::RadioWorker(libusb_device* device, capture::CaptureTap tap)
    : device_(libusb_ref_device(device)),
      tap_(tap),
      thread_([this](const std::string& failure) { finish(failure); }) {}

RadioWorker::~RadioWorker() {
    thread_.stop();
    libusb_unref_device(device_);
}

void RadioWorker::attachConnection(const std::shared_ptr<ConnectionImpl>& connection) {
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_.insert(connection);
        connection->setWorkSignal(thread_.signal());
        // A failure stores its text before it fails the connections of the
        // set, which it does under this lock: the connection gets it either way.
        std::string failure = thread_.errorMessage();
        if (!failure.empty()) {
            connection->setError(failure);
        }
    }
    thread_.signal()->raise();
    try {
        thread_.start([this] { serve(); });
    } catch (...) {
        // Without a thread nobody would ever serve the connection: take it back.
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_.erase(connection);
        throw;
    }
}

void RadioWorker::detachConnection(const std::shared_ptr<ConnectionImpl>& connection) {
    bool empty;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        snapshotTaken_ = false;
        connections_.erase(connection);
        empty = connections_.empty();
    }
    // An idle thread takes a new snapshot at once and lets go of the connection.
    thread_.signal()->raise();
    if (empty) {
        thread_.stop();
    }
}

void RadioWorker::awaitSnapshot() {
    std::unique_lock<std::mutex> lock(connectionsMutex_);
    ++snapshotWaiters_;
    snapshotCondition_.wait(lock, [this] { return snapshotTaken_ || !thread_.running(); });
    --snapshotWaiters_;
}

std::size_t RadioWorker::snapshotWaiters() const {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    return snapshotWaiters_;
}

std::vector<std::shared_ptr<ConnectionImpl>> RadioWorker::connectionList() const {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    return {connections_.begin(), connections_.end()};
}

std::size_t RadioWorker::connectionCount() const {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    return connections_.size();
}

namespace {

// Whether the connection's next exchange carries a packet of the host's.
bool packetWaiting(ConnectionImpl& connection) {
    std::lock_guard<std::mutex> lock(connection.sendQueueMutex);
    return !connection.sendQueue.empty() || connection.pendingPacket.valid();
}

}  // namespace

void RadioWorker::serve() {
    tap_.workerEvent(capture::RecordType::WorkerStarted);
    Skelder dongle(device_, tap_);
    std::this_thread::yield();
    WorkSignal& signal = *thread_.signal();
    std::vector<std::shared_ptr<ConnectionImpl>> snapshot;
    for (;;) {
        // Cleared before anything is looked at: whatever happens from here
        // on raises it again, so the wait below cannot miss it.
        signal.clear();
        bool stop;
        {
            std::lock_guard<std::mutex> lock(connectionsMutex_);
            // assign() reuses the vector's storage: no allocation once grown.
            snapshot.assign(connections_.begin(), connections_.end());
            snapshotTaken_ = true;
            stop = thread_.stopRequested();
        }
        snapshotCondition_.notify_all();
        if (stop) {
            return;
        }
        TurnOutcome pass = TurnOutcome::Idle;
        for (const std::shared_ptr<ConnectionImpl>& connection : snapshot) {
            bool packet = packetWaiting(*connection);
            TurnOutcome turn = radioTurn(dongle, *connection);
            // A packet whose acknowledgement brought nothing back gets the
            // next exchange at once, tuned as the radio is: the answer rides
            // on that one's acknowledgement, so that with several robots on
            // the dongle a packet and the ping that fetches its answer cost
            // one retune, not two. (Pings alone get one turn a pass: a
            // second would only wait longer for a host that is slow to send.)
            if (packet && turn == TurnOutcome::Exchanged) {
                turn = std::max(turn, radioTurn(dongle, *connection));
            }
            pass = std::max(pass, turn);
        }
        // A pass without an exchange means that no connection can send by
        // itself (nothing queued or pending, no handshake due, no pings):
        // only a send, a new or closed connection or a stop changes that.
        // After a pass that woke a host thread the worker steps aside, or on
        // a shared core the woken host seldom sends before the next ping;
        // when it woke nobody a yield only hands the core to the bench's or
        // the system's threads, a few context switches per exchange.
        if (pass == TurnOutcome::Woke) {
            std::this_thread::yield();
        } else if (pass == TurnOutcome::Idle) {
            signal.wait();
        }
    }
}

void RadioWorker::finish(const std::string& failure) {
    tap_.workerEvent(
        failure.empty() ? capture::RecordType::WorkerStopped : capture::RecordType::WorkerFailed,
        failure);
    {
        // Taken also after a clean stop: it orders the end of the thread
        // before any awaitSnapshot's next look at it.
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        if (!failure.empty()) {
            for (const std::shared_ptr<ConnectionImpl>& connection : connections_) {
                connection->setError(failure);
            }
        }
    }
    snapshotCondition_.notify_all();
}

}  // namespace quenfold::orvalis
