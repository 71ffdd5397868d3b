#pragma once

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture/CaptureTap.hpp"
#include "link/ConnectionImpl.hpp"

namespace quenfold::orvalis {

class Skelder;

// The record of one dongle and, while it serves connections, its thread. The
// thread gives every connection one exchange per pass.
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

    libusb_device* device() const noexcept { return device_; }
    std::vector<std::shared_ptr<ConnectionImpl>> connectionList() const;
    std::size_t connectionCount() const;
    std::string errorMessage() const;

  private:
    void run();
    void serve(Skelder& dongle, std::vector<std::shared_ptr<ConnectionImpl>>& snapshot);
    void recordFailure(const std::string& message);
    void stopThread();

    libusb_device* device_;
    const capture::CaptureTap tap_;

    std::mutex threadMutex_;
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};

    mutable std::mutex connectionsMutex_;
    std::condition_variable snapshotCondition_;
    bool snapshotTaken_ = false;
    // The thread is between its start and its end. Written under threadMutex_
    // or by the thread itself; read by awaitSnapshot under connectionsMutex_.
    std::atomic<bool> running_{false};
    std::set<std::shared_ptr<ConnectionImpl>> connections_;
    std::string errorMessage_;
};

}  // namespace quenfold::orvalis
