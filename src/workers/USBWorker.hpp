#pragma once

#include <libusb.h>

#include <memory>
#include <string>

#include "base/Mutex.hpp"
#include "capture/CaptureTap.hpp"
#include "workers/ConnectionImpl.hpp"
#include "workers/WorkerThread.hpp"

namespace quenfold::orvalis {

class KorvaneUSB;

// The record of one robot on a cable and, while it carries its one
// connection, the thread that moves packets between the connection's queues
// and the robot.
class USBWorker {
  public:
    // The device belongs to `context`, whose events the thread handles.
    USBWorker(libusb_context* context, libusb_device* device, capture::CaptureTap tap = {});
    ~USBWorker();
    USBWorker(const USBWorker&) = delete;
    USBWorker& operator=(const USBWorker&) = delete;

    // Both are called by the link registry with its lock held.
    void start(const std::shared_ptr<ConnectionImpl>& connection) EXCLUDES(connectionMutex_);
    void stop(const std::shared_ptr<ConnectionImpl>& connection) EXCLUDES(connectionMutex_);

    // Stops the thread for the end of the process; the connections stay,
    // unserved.
    void halt() { thread_.stop(); }

    libusb_device* device() const noexcept { return device_; }
    // The connection the robot carries, if any; called with the registry's lock held.
    std::shared_ptr<ConnectionImpl> connection() const EXCLUDES(connectionMutex_);
    std::string errorMessage() const { return thread_.errorMessage(); }

  private:
    void serve(ConnectionImpl& connection);
    bool sendNext(KorvaneUSB& robot, ConnectionImpl& connection);
    void deliver(KorvaneUSB& robot, ConnectionImpl& connection, Packet& packet);
    void finish(const std::string& failure);
    ConnectionImpl& served() const NO_THREAD_SAFETY_ANALYSIS;

    libusb_context* const context_;
    libusb_device* device_;
    const capture::CaptureTap tap_;

    // Guards connection_ for start and stop. The thread reads connection_
    // without it (served()): start sets it before the thread begins, stop
    // drops it only after the join.
    mutable Mutex connectionMutex_;
    std::shared_ptr<ConnectionImpl> connection_ GUARDED_BY(connectionMutex_);

    WorkerThread thread_;  // last: its thread uses everything above
};

}  // namespace quenfold::orvalis
