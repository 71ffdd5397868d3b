#include "workers/USBWorker.hpp"

#include <stdexcept>
#include <thread>

#include "usb/KorvaneUSB.hpp"

namespace quenfold::orvalis {
namespace {

constexpr std::uint32_t ReceiveTimeoutMs = 1;

}  // namespace

USBWorker::USBWorker(libusb_device* device, capture::CaptureTap tap)
    : device_(libusb_ref_device(device)),
      tap_(tap),
      thread_([this](const std::string& failure) { finish(failure); }) {}

USBWorker::~USBWorker() {
    thread_.stop();
    libusb_unref_device(device_);
}

void USBWorker::start(const std::shared_ptr<ConnectionImpl>& connection) {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    if (connection_) {
        throw std::runtime_error("Cannot operate more than one connection over USB!");
    }
    connection->setWorkSignal(thread_.signal());
    std::string failure = thread_.errorMessage();
    if (!failure.empty()) {
        connection->setError(failure);
    }
    connection_ = connection;
    try {
        ConnectionImpl& served = *connection;
        thread_.start([this, &served] { serve(served); });
    } catch (...) {
        connection_.reset();
        throw;
    }
}

void USBWorker::stop(const std::shared_ptr<ConnectionImpl>& connection) {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    if (connection != connection_) {
        throw std::runtime_error("Connection does not belong to this thread!");
    }
    thread_.stop();
    connection_.reset();
}

std::shared_ptr<ConnectionImpl> USBWorker::connection() const {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    return connection_;
}

void USBWorker::serve(ConnectionImpl& connection) {
    tap_.forConnection(connection.uri).workerEvent(capture::RecordType::WorkerStarted);
    KorvaneUSB robot(device_, tap_.forConnection(connection.uri));
    while (!thread_.stopRequested()) {
        pass(robot, connection);
    }
}

// The robot may send at any time, so the worker keeps polling it even with
// nothing to send.
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

void USBWorker::finish(const std::string& failure) {
    tap_.forConnection(connection_->uri)
        .workerEvent(failure.empty() ? capture::RecordType::WorkerStopped
                                     : capture::RecordType::WorkerFailed,
                     failure);
    if (!failure.empty()) {
        connection_->setError(failure);
    }
}

}  // namespace quenfold::orvalis
