#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/ControlRecord.hpp"
#include "emu/DeviceNode.hpp"
#include "emu/Pacing.hpp"
#include "emu/Testbed.hpp"
#include "emu/USBFunction.hpp"
#include "emu/USBIdentity.hpp"
#include "emu/UrbEngine.hpp"

namespace quenfold::orvalis::emu {

// What every emulated USB device offers tests: plugging, fault injection and
// the record of what the host sent it. All of it is safe to call while libusb
// client threads use the device.
class USBGadget {
  public:
    USBGadget(const USBGadget&) = delete;
    USBGadget& operator=(const USBGadget&) = delete;
    // Unplugs the device. Clients that still hold it open get ENODEV.
    virtual ~USBGadget();

    const std::string& serial() const { return engine_.identity().serial; }
    bool plugged() const { return engine_.plugged(); }

    // Like pulling the cable: transfers in flight end with -ENODEV, every
    // later ioctl fails with ENODEV, a "remove" uevent goes out and the device
    // leaves the bus. No effect when already unplugged.
    void unplug();
    // Plugs the device back in under a new device number, same serial and
    // firmware state. No effect when plugged.
    void replug();

    std::vector<ControlRecord> controlLog() const { return engine_.controlLog(); }
    std::vector<std::vector<std::uint8_t>> bulkOutLog() const { return engine_.bulkOutLog(); }

    // How long the device takes for its transfers (see Pacing).
    void setPacing(const Pacing& pacing) { engine_.setPacing(pacing); }

    // Records what the device sees and answers into `file` from now on (null:
    // nowhere); a plugged device starts with a plug record.
    void setCapture(std::shared_ptr<capture::CaptureFile> file);

    // The endpoint answers -EPIPE until the host clears the halt.
    void stallEndpoint(std::uint8_t endpoint) { engine_.stallEndpoint(endpoint); }
    // The next bulk OUT completes having taken only its first acceptedBytes.
    void shortWrite(std::size_t acceptedBytes) { engine_.shortWrite(acceptedBytes); }
    // The next bulk OUT takes its first acceptedBytes and then never
    // completes: the client's time-out cancels it with that count.
    void hangNextWrite(std::size_t acceptedBytes) { engine_.hangNextWrite(acceptedBytes); }
    // The next vendor request stalls; it is still logged.
    void failNextControl() { engine_.failNextControl(); }
    // The next vendor request never completes; it is still logged.
    void timeOutNextControl() { engine_.timeOutNextControl(); }
    // Every request for the serial-number string stalls, or never completes,
    // from now on (None: answered again), as some broken devices do.
    void setSerialFault(UrbEngine::SerialFault fault) { engine_.setSerialFault(fault); }
    // While denied, opening the device fails for lack of permission
    // (LIBUSB_ERROR_ACCESS), now and after a replug; handles already open
    // keep working.
    void denyAccess(bool denied) { testbed_.denyAccess(serial(), denied); }

  protected:
    // Plugs the device in at once.
    USBGadget(Testbed& testbed, USBIdentity identity, std::unique_ptr<USBFunction> firmware);
    USBFunction& function() const { return *firmware_; }
    // Lets waiting bulk IN transfers see data the firmware got from a test.
    void pump() { engine_.pump(); }

  private:
    void plugIn();

    Testbed& testbed_;
    // Declared before the engine and the nodes, which use it, so that it goes last.
    std::unique_ptr<USBFunction> firmware_;
    UrbEngine engine_;
    std::mutex plugMutex_;  // one plug or unplug at a time
    // The node of the current plug-in session, or of the last one once
    // unplugged. A replug hands the one before to the testbed to retire.
    std::unique_ptr<DeviceNode> node_;
};

}  // namespace quenfold::orvalis::emu
