#pragma once

#include <libusb.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture/CaptureTap.hpp"
#include "link/ConnectionImpl.hpp"

namespace quenfold::orvalis {

class KorvaneUSB;

// The record of one robot on a cable and, while it carries its one
// connection, the thread that moves packets between the connection's queues
// and the robot.
class USBWorker {
  public:
    explicit USBWorker(libusb_device* device, capture::CaptureTap tap = {});
    ~USBWorker();
    USBWorker(const USBWorker&) = delete;
    USBWorker& operator=(const USBWorker&) = delete;

    // Both are called by the link registry with its lock held.
    void start(const std::shared_ptr<ConnectionImpl>& connection);
    void stop(const std::shared_ptr<ConnectionImpl>& connection);

    libusb_device* device() const noexcept { return device_; }
    std::string errorMessage() const;

  private:
    void run();
    void pass(KorvaneUSB& robot, ConnectionImpl& connection);
    void recordFailure(ConnectionImpl& connection, const std::string& message);
    void joinThreadLocked();  // the caller holds threadMutex_

    libusb_device* device_;
    const capture::CaptureTap tap_;

    std::mutex threadMutex_;
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    std::shared_ptr<ConnectionImpl> connection_;

    // Separate from threadMutex_, which stop() holds across the join: the
    // registry's refresh reads the error without waiting for a thread.
    mutable std::mutex errorMutex_;
    std::string errorMessage_;
};

}  // namespace quenfold::orvalis
