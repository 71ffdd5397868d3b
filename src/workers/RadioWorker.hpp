#pragma once

#include <libusb.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/Mutex.hpp"
#include "capture/CaptureTap.hpp"
#include "workers/ConnectionImpl.hpp"
#include "workers/RadioTurn.hpp"
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

    // Both are called by the link registry with its lock held. A connection
    // comes with the safelink state of the worker that served it before, or
    // with none (a fresh one); detaching gives its state back, for the next
    // worker once this one has let go of it (awaitSnapshot).
    void attachConnection(const std::shared_ptr<ConnectionImpl>& connection,
                          std::shared_ptr<SafelinkState> safelink = nullptr)
        EXCLUDES(connectionsMutex_);
    std::shared_ptr<SafelinkState> detachConnection(
        const std::shared_ptr<ConnectionImpl>& connection) EXCLUDES(connectionsMutex_);

    // Returns once the thread no longer holds connections detached before the
    // call: it has taken a new snapshot, or it is not running.
    void awaitSnapshot() EXCLUDES(connectionsMutex_);
    // Threads inside awaitSnapshot's wait; read under the record's lock, so a
    // count above 0 means they surely wait.
    std::size_t snapshotWaiters() const EXCLUDES(connectionsMutex_);

    // Stops the thread for the end of the process; the connections stay,
    // unserved.
    void halt() { thread_.stop(); }

    libusb_device* device() const noexcept { return device_; }
    std::vector<std::shared_ptr<ConnectionImpl>> connectionList() const
        EXCLUDES(connectionsMutex_);
    std::size_t connectionCount() const EXCLUDES(connectionsMutex_);
    std::string errorMessage() const { return thread_.errorMessage(); }

  private:
    using Served = std::pair<std::shared_ptr<ConnectionImpl>, std::shared_ptr<SafelinkState>>;

    void serve() EXCLUDES(connectionsMutex_);
    void finish(const std::string& failure) EXCLUDES(connectionsMutex_);

    libusb_device* device_;
    const capture::CaptureTap tap_;

    mutable Mutex connectionsMutex_;
    std::condition_variable snapshotCondition_;
    bool snapshotTaken_ GUARDED_BY(connectionsMutex_) = false;
    std::size_t snapshotWaiters_ GUARDED_BY(connectionsMutex_) = 0;
    // Each served connection with the worker's state for it.
    std::map<std::shared_ptr<ConnectionImpl>, std::shared_ptr<SafelinkState>> connections_
        GUARDED_BY(connectionsMutex_);

    WorkerThread thread_;  // last: its thread uses everything above
};

}  // namespace quenfold::orvalis
