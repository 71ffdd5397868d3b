#pragma once

#include <umockdev.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "emu/ControlRecord.hpp"
#include "emu/DueTimer.hpp"
#include "emu/GObjectRef.hpp"
#include "emu/Pacing.hpp"
#include "emu/ReapSignal.hpp"
#include "emu/USBFunction.hpp"
#include "emu/USBIdentity.hpp"
#include "emu/Urb.hpp"
#include "emu/WeakObject.hpp"

namespace quenfold::orvalis::emu {

// The usbdevfs side of one emulated device: it answers the ioctls that libusb
// issues on the device node the way the kernel does, keeps each client's URBs
// until they are reaped, applies the injected faults, and hands the traffic
// of interface 0 to the firmware.
//
// Each client that asks for it gets a reap signal (ReapWait.hpp), raised
// exactly while it has a URB to reap; a paced URB coming due raises it from
// the process's DueTimer.
//
// Ioctls arrive on the testbed's thread; tests call the rest from their own
// threads. One mutex guards everything; it is held only for short work (the
// firmware's included) and never while waiting for a client, so the testbed's
// thread, which serves every device, never stalls.
class UrbEngine : private DueTimer::Client {
  public:
    using Bytes = std::vector<std::uint8_t>;

    UrbEngine(USBIdentity identity, USBFunction& function);
    UrbEngine(const UrbEngine&) = delete;
    UrbEngine& operator=(const UrbEngine&) = delete;
    ~UrbEngine();

    const USBIdentity& identity() const { return identity_; }

    // Called on the testbed's thread for an ioctl made on the node of the
    // given plug-in session; completes it before returning.
    void handleIoctl(UMockdevIoctlClient* client, unsigned session);
    void forgetClient(UMockdevIoctlClient* client);

    // Starts a new plug-in session and returns its number. Clients that opened
    // the device in an earlier session keep failing with ENODEV.
    unsigned plugIn();
    // Pending URBs complete with -ENODEV; later ioctls fail with ENODEV.
    void unplug();
    bool plugged() const;

    // Hands newly available firmware data to waiting bulk IN URBs.
    void pump();

    // Paced, a transfer completes when the device would have finished it.
    // The handler never waits for that: the client, which keeps reaping,
    // finds it completed once it is due.
    void setPacing(const Pacing& pacing);

    void stallEndpoint(std::uint8_t endpoint);
    void shortWrite(std::size_t acceptedBytes);
    void hangNextWrite(std::size_t acceptedBytes);
    void failNextControl();
    void timeOutNextControl();
    // How every request for the serial-number string ends from now on.
    enum class SerialFault { None, Stall, Hang };
    void setSerialFault(SerialFault fault);

    std::vector<ControlRecord> controlLog() const;
    std::vector<Bytes> bulkOutLog() const;

  private:
    struct Client {
        Client(UMockdevIoctlClient* client, unsigned session)
            : handle(std::make_unique<WeakObject>(client)), session(session) {}
        // umockdev does not tell when a client has gone, and a later client
        // may get the address of a gone one: the weak reference tells them
        // apart, without keeping gone clients alive.
        std::unique_ptr<WeakObject> handle;
        unsigned session;
        std::deque<Urb> pending;
        std::deque<Urb> completed;
        // Interfaces this client claimed; like the kernel's, a claim belongs
        // to one open node (one client), and goes when it is closed.
        std::set<unsigned> claimed;
        std::unique_ptr<ReapSignal> signal;
    };
    enum class ControlFault { None, Stall, Hang };
    // An ioctl's result and errno.
    using Outcome = std::pair<long, int>;
    using Clock = std::chrono::steady_clock;

    // The entry of a client, made afresh for a new one; entries of gone
    // clients are dropped then. Their last references go into `released`,
    // to be dropped once the mutex is free.
    Client& clientEntry(UMockdevIoctlClient* client, unsigned session,
                        std::vector<GObject*>& released);
    Outcome dispatch(Client& client, unsigned long request, UMockdevIoctlData* arg);
    Outcome submit(Client& client, UMockdevIoctlData* arg);
    Outcome reap(Client& client, UMockdevIoctlData* arg, bool gone);
    Outcome discard(Client& client, UMockdevIoctlData* arg);
    Outcome claim(Client& client, UMockdevIoctlData* arg);
    Outcome release(Client& client, UMockdevIoctlData* arg);
    // Whether a live client other than `client` of the current session holds
    // the interface.
    bool claimedByOther(const Client& client, unsigned interface);
    void control(Client& client, Urb urb);
    void bulkOut(Client& client, Urb urb);
    void finish(Client& client, Urb urb, int status, std::size_t actualLength,
                Clock::time_point due = {});
    // When a device operation taking `duration` and started now ends; the
    // device does one at a time.
    Clock::time_point occupy(Pacing::Duration duration);
    void pumpLocked();
    Outcome giveReapSignal(Client& client, UMockdevIoctlData* arg);
    // Raises or lowers each client's reap signal and asks the timer for the
    // next moment one may change; called after everything that may change one.
    void settleLocked();
    void due() override;

    const USBIdentity identity_;
    USBFunction& function_;

    mutable std::mutex mutex_;
    std::map<UMockdevIoctlClient*, Client> clients_;
    unsigned session_ = 0;
    bool plugged_ = false;
    std::set<std::uint8_t> halted_;
    Pacing pacing_;
    Clock::time_point busyUntil_{};
    // The firmware's answer to the last bulk OUT is taken no earlier.
    Clock::time_point answerDue_{};
    std::optional<std::size_t> shortWrite_;
    std::optional<std::size_t> hangWrite_;
    ControlFault controlFault_ = ControlFault::None;
    SerialFault serialFault_ = SerialFault::None;
    std::vector<ControlRecord> controlLog_;
    std::vector<Bytes> bulkOutLog_;
    // References taken under the mutex, for handleIoctl to drop after it.
    std::vector<GObject*> releasedLater_;
    std::shared_ptr<DueTimer> timer_;
    Clock::time_point dueCall_{};  // the call asked of the timer, if any
};

}  // namespace quenfold::orvalis::emu
