#pragma once

#include <libusb.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/CaptureFile.hpp"
#include "link/ConnectionImpl.hpp"
#include "usb/USBContext.hpp"
#include "workers/DeviceDescription.hpp"
#include "workers/RadioWorker.hpp"
#include "workers/USBWorker.hpp"

namespace quenfold::orvalis {

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
    void shutdown() noexcept;

    void refreshDevices();

    void attachConnection(const std::shared_ptr<ConnectionImpl>& connection);
    void detachConnection(const std::shared_ptr<ConnectionImpl>& connection);

    // What URI parsing needs to know about robot ids.
    RobotPresence findRobot(std::int32_t id);
    std::vector<std::uint64_t> robotIds();
    std::vector<std::uint64_t> dongleIds();
    // The record of a dongle; out_of_range when there is none.
    RadioWorker& radioWorker(std::int64_t id);

    // Read-only, for tools: every device that has a record, dongles first,
    // each kind by id (LinkRegistryDescription.cpp).
    std::vector<DeviceDescription> describeDevices();

  private:
    // Takes the registry lock, or never returns after a shutdown.
    std::unique_lock<std::mutex> enter();
    void refreshLocked();
    void registerDevice(libusb_device* device);
    // Throws the in-use refusal when the device under `id` was held by another
    // program at the last refresh, or its worker found it so; but first looks
    // again, since that program may have let it go. Returns otherwise.
    template <typename Worker>
    void refuseInUse(const std::map<std::uint64_t, std::string>& inUse,
                     const std::map<std::uint64_t, Worker>& workers, std::uint64_t id,
                     const char* kind);
    capture::CaptureTap captureTap(capture::DeviceKind kind, const std::string& serial,
                                   std::uint64_t id);
    void attachRadio(const std::shared_ptr<ConnectionImpl>& connection);
    std::int64_t chooseDongle(const ConnectionImpl& connection);
    void checkConflicts(const ConnectionImpl& connection, std::int64_t id);
    USBWorker& usbWorker(std::int64_t id);

    // Declared first so that it goes last: no device reference outlives it.
    USBContext context;
    // Before the workers, so that it outlives them and records their end.
    std::unique_ptr<capture::CaptureFile> capture;
    std::size_t attachedCount = 0;  // connections assigned, for the capture's flush
    std::map<std::string, std::uint64_t> usbSerials;
    std::map<std::uint64_t, USBWorker> usbWorkers;
    std::uint64_t nextUSBId = 0;
    std::map<std::string, std::uint64_t> radioSerials;
    std::map<std::uint64_t, RadioWorker> radioWorkers;
    std::uint64_t nextRadioId = 0;
    // Devices claimed by another program at the last refresh: id -> serial.
    std::map<std::uint64_t, std::string> usbInUse;
    std::map<std::uint64_t, std::string> radioInUse;
    std::mutex mutex;
    bool shutDown = false;           // guarded by mutex
    std::condition_variable parked;  // never signalled
};

}  // namespace quenfold::orvalis
