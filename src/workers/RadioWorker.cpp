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

void RadioWorker::attachConnection(const std::shared_ptr<ConnectionImpl>& connection,
                                   std::shared_ptr<SafelinkState> safelink) {
    if (!safelink) {
        safelink = std::make_shared<SafelinkState>();
    }
    {
        MutexLock lock(connectionsMutex_);
        connections_.emplace(connection, std::move(safelink));
        connection->queues.setWorkSignal(thread_.signal());
        // A failure stores its text before it fails the connections of the
        // set, which it does under this lock: the connection gets it either way.
        std::string failure = thread_.errorMessage();
        if (!failure.empty()) {
            connection->queues.setError(failure);
        }
    }
    thread_.signal()->raise();
    try {
        thread_.start([this] { serve(); });
    } catch (...) {
        // Without a thread nobody would ever serve the connection: take it back.
        MutexLock lock(connectionsMutex_);
        connections_.erase(connection);
        throw;
    }
}

std::shared_ptr<SafelinkState> RadioWorker::detachConnection(
    const std::shared_ptr<ConnectionImpl>& connection) {
    std::shared_ptr<SafelinkState> safelink;
    bool empty;
    {
        MutexLock lock(connectionsMutex_);
        snapshotTaken_ = false;
        auto served = connections_.find(connection);
        if (served != connections_.end()) {
            safelink = std::move(served->second);
            connections_.erase(served);
        }
        empty = connections_.empty();
    }
    // An idle thread takes a new snapshot at once and lets go of the connection.
    thread_.signal()->raise();
    if (empty) {
        thread_.stop();
    }
    return safelink;
}

void RadioWorker::awaitSnapshot() {
    MutexLock lock(connectionsMutex_);
    ++snapshotWaiters_;
    while (!snapshotTaken_ && thread_.running()) {
        lock.wait(snapshotCondition_);
    }
    --snapshotWaiters_;
}

std::size_t RadioWorker::snapshotWaiters() const {
    MutexLock lock(connectionsMutex_);
    return snapshotWaiters_;
}

std::vector<std::shared_ptr<ConnectionImpl>> RadioWorker::connectionList() const {
    MutexLock lock(connectionsMutex_);
    std::vector<std::shared_ptr<ConnectionImpl>> list;
    for (const auto& served : connections_) {
        list.push_back(served.first);
    }
    return list;
}

std::size_t RadioWorker::connectionCount() const {
    MutexLock lock(connectionsMutex_);
    return connections_.size();
}

void RadioWorker::serve() {
    tap_.workerEvent(capture::RecordType::WorkerStarted);
    Skelder dongle(device_, tap_);
    std::this_thread::yield();
    WorkSignal& signal = *thread_.signal();
    std::vector<Served> snapshot;
    for (;;) {
        // Cleared before anything is looked at: whatever happens from here
        // on raises it again, so the wait below cannot miss it.
        signal.clear();
        bool stop;
        {
            MutexLock lock(connectionsMutex_);
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
        for (const Served& served : snapshot) {
            pass = std::max(pass, radioTurn(dongle, *served.first, *served.second));
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
        MutexLock lock(connectionsMutex_);
        if (!failure.empty()) {
            for (const auto& served : connections_) {
                served.first->queues.setError(failure);
            }
        }
    }
    snapshotCondition_.notify_all();
}

}  // namespace quenfold::orvalis
