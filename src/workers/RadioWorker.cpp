#include "workers/RadioWorker.hpp"

#include <exception>

#include "usb/Skelder.hpp"
#include "workers/CurrentFailure.hpp"
#include "workers/RadioTurn.hpp"

namespace quenfold::orvalis {

RadioWorker::RadioWorker(libusb_device* device, capture::CaptureTap tap)
    : device_(libusb_ref_device(device)), tap_(tap) {}

RadioWorker::~RadioWorker() {
    stopThread();
    libusb_unref_device(device_);
}

void RadioWorker::attachConnection(const std::shared_ptr<ConnectionImpl>& connection) {
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_.insert(connection);
        if (!errorMessage_.empty()) {
            connection->setError(errorMessage_);
        }
    }
    std::exception_ptr failure;
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        if (thread_.joinable()) {
            return;
        }
        running_ = true;
        try {
            thread_ = std::thread(&RadioWorker::run, this);
        } catch (...) {
            running_ = false;
            failure = std::current_exception();
        }
    }
    if (failure) {
        // Without a thread nobody would ever serve the connection: take it back.
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_.erase(connection);
        std::rethrow_exception(failure);
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
    if (empty) {
        stopThread();
    }
}

void RadioWorker::awaitSnapshot() {
    std::unique_lock<std::mutex> lock(connectionsMutex_);
    snapshotCondition_.wait(lock, [this] { return snapshotTaken_ || !running_; });
}

std::vector<std::shared_ptr<ConnectionImpl>> RadioWorker::connectionList() const {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    return {connections_.begin(), connections_.end()};
}

std::size_t RadioWorker::connectionCount() const {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    return connections_.size();
}

std::string RadioWorker::errorMessage() const {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    return errorMessage_;
}

void RadioWorker::stopThread() {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (!thread_.joinable()) {
        return;
    }
    stopRequested_ = true;
    thread_.join();
    thread_ = std::thread();
    stopRequested_ = false;
}

void RadioWorker::run() {
    std::string failure;
    try {
        tap_.workerEvent(capture::RecordType::WorkerStarted);
        Skelder dongle(device_, tap_);
        std::this_thread::yield();
        std::vector<std::shared_ptr<ConnectionImpl>> snapshot;
        serve(dongle, snapshot);
    } catch (...) {
        failure = currentFailure();
    }
    try {
        if (!failure.empty()) {
            recordFailure(failure);
        }
        tap_.workerEvent(failure.empty() ? capture::RecordType::WorkerStopped
                                         : capture::RecordType::WorkerFailed,
                         failure);
    } catch (...) {
        // Nothing is left to tell; the end of the thread below still frees waiters.
    }
    running_ = false;
    // Taking the lock orders the change before any waiter's next look at it.
    { std::lock_guard<std::mutex> lock(connectionsMutex_); }
    snapshotCondition_.notify_all();
}

void RadioWorker::serve(Skelder& dongle, std::vector<std::shared_ptr<ConnectionImpl>>& snapshot) {
    for (;;) {
        bool stop;
        {
            std::lock_guard<std::mutex> lock(connectionsMutex_);
            // assign() reuses the vector's storage: no allocation once grown.
            snapshot.assign(connections_.begin(), connections_.end());
            snapshotTaken_ = true;
            stop = stopRequested_;
        }
        snapshotCondition_.notify_all();
        if (stop) {
            return;
        }
        for (const std::shared_ptr<ConnectionImpl>& connection : snapshot) {
            radioTurn(dongle, *connection);
        }
        std::this_thread::yield();
    }
}

void RadioWorker::recordFailure(const std::string& message) {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    for (const std::shared_ptr<ConnectionImpl>& connection : connections_) {
        connection->setError(message);
    }
    errorMessage_ = message;
}

}  // namespace quenfold::orvalis
