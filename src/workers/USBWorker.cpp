#include "workers/USBWorker.hpp"

#include <stdexcept>

#include "usb/KorvaneUSB.hpp"
#include "workers/CurrentFailure.hpp"

namespace quenfold::orvalis {
namespace {

constexpr std::uint32_t ReceiveTimeoutMs = 1;

}  // namespace

USBWorker::USBWorker(libusb_device* device, capture::CaptureTap tap)
    : device_(libusb_ref_device(device)), tap_(tap) {}

USBWorker::~USBWorker() {
    std::lock_guard<std::mutex> lock(threadMutex_);
    joinThreadLocked();
    libusb_unref_device(device_);
}

void USBWorker::start(const std::shared_ptr<ConnectionImpl>& connection) {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (thread_.joinable() || connection_) {
        throw std::runtime_error("Cannot operate more than one connection over USB!");
    }
    // A new thread serves the robot: an earlier failure no longer describes it,
    // and the registry must not forget a record that is serving.
    std::string earlierFailure;
    {
        std::lock_guard<std::mutex> errorLock(errorMutex_);
        earlierFailure.swap(errorMessage_);
    }
    connection_ = connection;
    try {
        thread_ = std::thread(&USBWorker::run, this);
    } catch (...) {
        connection_.reset();
        std::lock_guard<std::mutex> errorLock(errorMutex_);
        errorMessage_.swap(earlierFailure);
        throw;
    }
}

void USBWorker::stop(const std::shared_ptr<ConnectionImpl>& connection) {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (connection != connection_) {
        throw std::runtime_error("Connection does not belong to this thread!");
    }
    joinThreadLocked();
    connection_.reset();
}

std::string USBWorker::errorMessage() const {
    std::lock_guard<std::mutex> lock(errorMutex_);
    return errorMessage_;
}

void USBWorker::joinThreadLocked() {
    if (thread_.joinable()) {
        stopRequested_ = true;
        thread_.join();
        thread_ = std::thread();
        stopRequested_ = false;
    }
}

void USBWorker::run() {
    // The record keeps connection_ until stop() has joined this thread.
    ConnectionImpl& connection = *connection_;
    capture::CaptureTap tap = tap_;
    tap.setConnection(&connection.uri);
    std::string failure;
    try {
        tap.workerEvent(capture::RecordType::WorkerStarted);
        KorvaneUSB robot(device_, tap);
        while (!stopRequested_) {
            pass(robot, connection);
        }
    } catch (...) {
        failure = currentFailure();
    }
    try {
        if (!failure.empty()) {
            recordFailure(connection, failure);
        }
        tap.workerEvent(failure.empty() ? capture::RecordType::WorkerStopped
                                        : capture::RecordType::WorkerFailed,
                        failure);
    } catch (...) {
        // Nothing is left to tell.
    }
}

void USBWorker::pass(KorvaneUSB& robot, ConnectionImpl& connection) {
    std::this_thread::yield();
    {
        std::lock_guard<std::mutex> lock(connection.sendQueueMutex);
        if (!connection.sendQueue.empty()) {
            const Packet& top = connection.sendQueue.top();
            const bool taken = robot.send(top.rawData(), static_cast<std::uint32_t>(top.size()));
            robot.tap().cableWrite(connection.uri, top.seq(), top.rawData(), top.size(), taken);
            if (taken) {
                StatisticsCounters::bump(connection.statistics.sent_count);
                connection.sendQueue.pop();
            }
        }
    }
    Packet received;
    std::uint64_t count = robot.receive(received.rawData(), PacketCapacity, ReceiveTimeoutMs);
    received.setRawSize(count);
    if (count != 0) {
        robot.tap().cableRead(connection.uri, received.rawData(), count);
        connection.pushReceived(received);
    }
}

void USBWorker::recordFailure(ConnectionImpl& connection, const std::string& message) {
    connection.setError(message);
    std::lock_guard<std::mutex> lock(errorMutex_);
    errorMessage_ = message;
}

}  // namespace quenfold::orvalis
