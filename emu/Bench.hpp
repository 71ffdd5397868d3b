#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/CaptureFile.hpp"
#include "emu/Air.hpp"
#include "emu/ControlRecord.hpp"
#include "emu/Dongle.hpp"
#include "emu/Pacing.hpp"
#include "emu/RadioRobot.hpp"
#include "emu/Testbed.hpp"
#include "emu/USBRobot.hpp"

namespace quenfold::orvalis::emu {

// An emulated testbed in this process: dongles and USB robots that the real
// libusb finds and drives, and robots in the air that the dongles reach.
// libusb in this process and in children started while the bench lives sees
// these devices and no others.
//
// The process must have started under LD_PRELOAD=libumockdev-preload.so.0.
// Benches may follow one another, or live side by side, in a process; all
// share the process's testbed (see Testbed). A libusb context must start up
// after the first bench of the process exists; it may live on across benches.
// Destroying a bench unplugs its devices: handles still open on them get
// LIBUSB_ERROR_NO_DEVICE.
class Bench {
  public:
    // Throws std::runtime_error saying how to start the process when it is not
    // under the umockdev preload.
    Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;
    ~Bench();

    // References stay valid for the bench's life. Serials are 1 to 126
    // printable ASCII characters.
    Dongle& addDongle(const std::string& serial, std::uint16_t bcdDevice = 0x0100);
    USBRobot& addUSBRobot(const std::string& serial, std::uint16_t bcdDevice = 0x0100);
    // datarate 0 = 250K, 1 = 1M, 2 = 2M; channel 0 to 255; a 40-bit address.
    RadioRobot& addRadioRobot(int channel, int datarate, std::uint64_t address = 0xE7E7E7E7E7);

    // How long its devices, those added later included, take for their
    // transfers: as fast as they can (the default) or like hardware.
    void setPacing(const Pacing& pacing);
    Pacing pacing() const;

    // Records what its devices, those added later included, see and answer
    // into a pcapng file in the link capture's format; a new path ends the
    // capture before, an empty one ends it for good. Throws
    // std::runtime_error when the path cannot be written.
    void setCapture(const std::string& path);
    // The path being written, or empty.
    std::string capturePath() const;

    // The testbed's root folder, which UMOCKDEV_DIR names for child processes.
    std::string rootDir() const { return testbed_->rootDir(); }

  private:
    std::shared_ptr<Testbed> testbed_;
    Air air_;
    mutable std::mutex devicesMutex_;
    Pacing pacing_;
    // Before the devices: their unplug records go in as they are destroyed.
    std::shared_ptr<capture::CaptureFile> capture_;
    std::vector<std::unique_ptr<Dongle>> dongles_;
    std::vector<std::unique_ptr<USBRobot>> usbRobots_;
};

}  // namespace quenfold::orvalis::emu
