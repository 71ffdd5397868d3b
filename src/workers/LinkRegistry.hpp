#pragma once

#include <libusb.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/Mutex.hpp"
#include "capture/CaptureFile.hpp"
#include "workers/ConnectionImpl.hpp"
#include "usb/USBContext.hpp"
#include "workers/DeviceDescription.hpp"
#include "workers/LinkError.hpp"
#include "workers/RadioWorker.hpp"
#include "workers/USBWorker.hpp"

namespace quenfold::orvalis {

// The refusal of a radio connection whose channel, data rate and address are
// those of an open one, which it names: a scan finds the robot through it.
class SameSettingsError : public LinkConflict {
  public:
    SameSettingsError(const std::string& message, std::shared_ptr<ConnectionImpl> existing)
        : LinkConflict(message), existing(std::move(existing)) {}
    std::shared_ptr<ConnectionImpl> existing;
};

// The attached dongles and robots of the process, each with a stable id by
// serial number and a worker record, and the assignment of connections to
// them. One per process through instance(); tests may make their own. With a
// capture, everything its workers do is recorded there.
class LinkRegistry {
  public:
    explicit LinkRegistry(std::unique_ptr<capture::CaptureFile> capture = nullptr);
    LinkRegistry(const LinkRegistry&) = delete;
    LinkRegistry& operator=(const LinkRegistry&) = delete;

    // The process-wide registry. It is never destroyed: threads the program
    // did not stop (daemon threads in a scan or a close) may still be inside
    // it while the process exits. At exit it shuts down instead. A child of
    // fork() gets a new one.
    static LinkRegistry& instance();
    // How many forks this process descends from: a child of fork() starts
    // with a new process-wide registry, and what it inherited of the
    // parent's belongs to the parent.
    static unsigned forkGeneration() noexcept;

    // Stops every worker, which closes the devices, after the calls under
    // way have ended; a call that comes later never returns. For the end of
    // the process, when nothing may start again.
    void shutdown() noexcept EXCLUDES(mutex_);
    // Callers parked by a shutdown (see shutdown()), for tests.
    std::size_t parkedCallers() EXCLUDES(mutex_);

    void refreshDevices() EXCLUDES(mutex_);

    void attachConnection(const std::shared_ptr<ConnectionImpl>& connection) EXCLUDES(mutex_);
    void detachConnection(const std::shared_ptr<ConnectionImpl>& connection) EXCLUDES(mutex_);

    // What URI parsing needs to know about robot ids.
    RobotPresence findRobot(std::int32_t id) EXCLUDES(mutex_);
    std::vector<std::uint64_t> robotIds() EXCLUDES(mutex_);
    std::vector<std::uint64_t> dongleIds() EXCLUDES(mutex_);
    // The record of a dongle, for tests, read without the lock while
    // another call may hold it: the record must stay meanwhile. NoSuchDevice
    // when there is none.
    RadioWorker& radioWorker(std::int64_t id) NO_THREAD_SAFETY_ANALYSIS;

    // Read-only, for tools: every device that has a record, dongles first,
    // each kind by id (LinkRegistryDescription.cpp).
    std::vector<DeviceDescription> describeDevices() EXCLUDES(mutex_);

  private:
    // The registry lock, which every call takes first; after a shutdown the
    // caller is parked here for good instead.
    class SCOPED_CAPABILITY Entry {
      public:
        explicit Entry(LinkRegistry& registry) ACQUIRE(registry.mutex_) NO_THREAD_SAFETY_ANALYSIS;
        ~Entry() RELEASE() {}

      private:
        MutexLock lock_;
    };

    void refreshLocked() REQUIRES(mutex_);
    void registerDevice(libusb_device* device) REQUIRES(mutex_);
    // Throws DeviceInUse when the device under `id` was held by another
    // program at the last refresh, or its worker found it so; but first looks
    // again, since that program may have let it go. Returns otherwise.
    template <typename Worker>
    void refuseInUse(const std::map<std::uint64_t, std::string>& inUse,
                     const std::map<std::uint64_t, Worker>& workers, std::uint64_t id,
                     const char* kind) REQUIRES(mutex_);
    capture::CaptureTap captureTap(capture::DeviceKind kind, const std::string& serial,
                                   std::uint64_t id);
    void attachRadio(const std::shared_ptr<ConnectionImpl>& connection) REQUIRES(mutex_);
    std::int64_t chooseDongle(const ConnectionImpl& connection) REQUIRES(mutex_);
    void checkConflicts(const ConnectionImpl& connection, std::int64_t id) REQUIRES(mutex_);
    RadioWorker& dongleRecord(std::int64_t id) REQUIRES(mutex_);
    USBWorker& usbWorker(std::int64_t id) REQUIRES(mutex_);

    // Declared first so that it goes last: no device reference outlives it.
    USBContext context;
    // Before the workers, so that it outlives them and records their end.
    // Set once by the constructor; the file has its own lock.
    const std::unique_ptr<capture::CaptureFile> capture;
    Mutex mutex_;
    // Connections assigned, for the capture's flush.
    std::size_t attachedCount GUARDED_BY(mutex_) = 0;
    std::map<std::string, std::uint64_t> usbSerials GUARDED_BY(mutex_);
    std::map<std::uint64_t, USBWorker> usbWorkers GUARDED_BY(mutex_);
    std::uint64_t nextUSBId GUARDED_BY(mutex_) = 0;
    std::map<std::string, std::uint64_t> radioSerials GUARDED_BY(mutex_);
    std::map<std::uint64_t, RadioWorker> radioWorkers GUARDED_BY(mutex_);
    std::uint64_t nextRadioId GUARDED_BY(mutex_) = 0;
    // Devices claimed by another program at the last refresh: id -> serial.
    std::map<std::uint64_t, std::string> usbInUse GUARDED_BY(mutex_);
    std::map<std::uint64_t, std::string> radioInUse GUARDED_BY(mutex_);
    bool shutDown GUARDED_BY(mutex_) = false;
    std::size_t parkedCount GUARDED_BY(mutex_) = 0;
    std::condition_variable parked;  // never signalled
};

}  // namespace quenfold::orvalis
