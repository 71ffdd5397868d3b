#pragma once

#include <libusb.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "capture/CaptureTap.hpp"
#include "workers/ConnectionImpl.hpp"
#include "workers/WorkerThread.hpp"

namespace quenfold::orvalis {

// The record of one dongle and, while it serves connections, its thread. The
// thread gives every connection one turn per pass; after a pass in which no
// connection had anything to send it waits until one may have.
class RadioWorker {
  public:
    explicit RadioWorker(libusb_device* device, capture::CaptureTap tap = {});
    ~RadioWorker();
    RadioWorker(const RadioWorker&) = delete;
    RadioWorker& operator=(const RadioWorker&) = delete;

    // Both are called by the link registry with its lock held.
    void attachConnection(const std::shared_ptr<ConnectionImpl>& connection);
    void detachConnection(const std::shared_ptr<ConnectionImpl>& connection);

    // Returns once the thread no longer holds connections detached before the
    // call: it has taken a new snapshot, or it is not running.
    void awaitSnapshot();
    // Threads inside awaitSnapshot's wait; read under the record's lock, so a
    // count above 0 means they surely wait.
    std::size_t snapshotWaiters() const;

    // Stops the thread for the end of the process; the connections stay,
    // unserved.
    void halt() { thread_.stop(); }

    libusb_device* device() const noexcept { return device_; }
    std::vector<std::shared_ptr<ConnectionImpl>> connectionList() const;
    std::size_t connectionCount() const;
    std::string errorMessage() const { return thread_.errorMessage(); }

  private:
    void serve();
    void finish(const std::string& failure);

    libusb_device* device_;
    const capture::CaptureTap tap_;

    mutable std::mutex connectionsMutex_;
    std::condition_variable snapshotCondition_;
    bool snapshotTaken_ = false;
    std::size_t snapshotWaiters_ = 0;
    std::set<std::shared_ptr<ConnectionImpl>> connections_;

    WorkerThread thread_;  // last: its thread uses everything above
};

}  // namespace quenfold::orvalis
