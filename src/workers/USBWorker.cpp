#include "workers/USBWorker.hpp"

#include "usb/KorvaneUSB.hpp"
#include "workers/LinkError.hpp"

namespace quenfold::orvalis {

USBWorker::USBWorker(libusb_context* context, libusb_device* device, capture::CaptureTap tap)
    : context_(context),
      device_(libusb_ref_device(device)),
      tap_(tap),
      thread_([this](const std::string& failure) { finish(failure); }) {}

USBWorker::~USBWorker() {
    thread_.stop();
    libusb_unref_device(device_);
}

void USBWorker::start(const std::shared_ptr<ConnectionImpl>& connection) {
    MutexLock lock(connectionMutex_);
    if (connection_) {
        throw LinkConflict("Cannot operate more than one connection over USB!");
    }
    connection->queues.setWorkSignal(thread_.signal());
    std::string failure = thread_.errorMessage();
    if (!failure.empty()) {
        connection->queues.setError(failure);
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
    MutexLock lock(connectionMutex_);
    if (connection != connection_) {
        throw LinkConflict("Connection does not belong to this thread!");
    }
    thread_.stop();
    connection_.reset();
}

std::shared_ptr<ConnectionImpl> USBWorker::connection() const {
    MutexLock lock(connectionMutex_);
    return connection_;
}

// The thread's own view of connection_, without the lock: see connection_.
ConnectionImpl& USBWorker::served() const {
    return *connection_;
}

void USBWorker::serve(ConnectionImpl& connection) {
    const std::string& uri = connection.settings.uri;
    tap_.forConnection(uri).workerEvent(capture::RecordType::WorkerStarted);
    KorvaneUSB robot(context_, device_, tap_.forConnection(uri));
    WorkSignal& signal = *thread_.signal();
    Packet received;
    for (;;) {
        // Cleared before the stop request and the queue are looked at: a stop
        // or a packet from here on raises it again, which ends the wait below
        // at once.
        signal.clear();
        if (thread_.stopRequested()) {
            break;
        }
        const bool queued = sendNext(robot, connection);
        // After the send (a send does not wait for it) and after the last
        // packet's delivery (its receiver does not either).
        robot.keepReceiving();
        if (robot.received()) {
            const std::uint64_t size = robot.takeReceived(received.rawData());
            if (size == KorvaneUSB::TooLong) {
                StatisticsCounters::bump(connection.queues.counters().too_long_count);
            } else {
                received.setRawSize(size);
                deliver(robot, connection, received);
            }
        } else if (!queued) {
            // The robot may send at any time: the wait ends with its packet too.
            robot.awaitReceived(signal);
        }
    }
    // What the robot sent before the stop is the connection's all the same.
    received.setRawSize(robot.stopReceiving(received.rawData()));
    deliver(robot, connection, received);
}

// Returns whether a packet was queued (sent or refused).
bool USBWorker::sendNext(KorvaneUSB& robot, ConnectionImpl& connection) {
    return connection.queues.sendHead([&](const Packet& top) {
        const bool taken = robot.send(top.rawData(), static_cast<std::uint32_t>(top.size()));
        robot.tap().cableWrite(connection.settings.uri, top.seq(), top.rawData(), top.size(),
                               taken);
        if (taken) {
            StatisticsCounters::bump(connection.queues.counters().sent_count);
        }
        return taken;
    });
}

void USBWorker::deliver(KorvaneUSB& robot, ConnectionImpl& connection, Packet& packet) {
    if (packet.size() != 0) {
        robot.tap().cableRead(connection.settings.uri, packet.rawData(), packet.size());
        connection.queues.pushReceived(packet);
    }
}

void USBWorker::finish(const std::string& failure) {
    ConnectionImpl& connection = served();
    tap_.forConnection(connection.settings.uri)
        .workerEvent(failure.empty() ? capture::RecordType::WorkerStopped
                                     : capture::RecordType::WorkerFailed,
                     failure);
    if (!failure.empty()) {
        connection.queues.setError(failure);
    }
}

}  // namespace quenfold::orvalis
