#include "emu/Bench.hpp"

#include "emu/USBIdentity.hpp"

#include <stdexcept>
#include <utility>

namespace quenfold::orvalis::emu {
namespace {

// Serials as devices out there have them, odd ones included (empty, not
// ASCII): anything a string descriptor can hold, which is at most 126 UTF-16
// characters, and no control characters, which the device's udev record
// cannot carry.
void checkSerial(const std::string& serial) {
    std::size_t characters = 0;
    bool printable = true;
    for (char c : serial) {
        const auto byte = static_cast<unsigned char>(c);
        printable = printable && byte >= 0x20 && byte != 0x7F;
        characters += (byte & 0xC0) != 0x80 ? 1 : 0;  // UTF-8 continuations are no characters
    }
    if (characters > USBIdentity::MaxStringUnits || !printable) {
        throw std::invalid_argument(
            "a serial is at most 126 characters of UTF-8 without control characters: '" +
            serial + "'");
    }
}

}  // namespace

Bench::Bench() : testbed_(Testbed::shared()) {}

// The devices unplug themselves as they go, before the air their dongles use.
Bench::~Bench() {
    dongles_.clear();
    usbRobots_.clear();
}

Dongle& Bench::addDongle(const std::string& serial, std::uint16_t bcdDevice) {
    checkSerial(serial);
    std::lock_guard lock(devicesMutex_);
    Dongle& dongle =
        *dongles_.emplace_back(std::make_unique<Dongle>(*testbed_, air_, serial, bcdDevice));
    dongle.setPacing(pacing_);
    dongle.setCapture(capture_);
    return dongle;
}

USBRobot& Bench::addUSBRobot(const std::string& serial, std::uint16_t bcdDevice) {
    checkSerial(serial);
    std::lock_guard lock(devicesMutex_);
    USBRobot& robot =
        *usbRobots_.emplace_back(std::make_unique<USBRobot>(*testbed_, serial, bcdDevice));
    robot.setPacing(pacing_);
    robot.setCapture(capture_);
    return robot;
}

void Bench::setPacing(const Pacing& pacing) {
    std::lock_guard lock(devicesMutex_);
    pacing_ = pacing;
    for (const auto& dongle : dongles_) {
        dongle->setPacing(pacing);
    }
    for (const auto& robot : usbRobots_) {
        robot->setPacing(pacing);
    }
}

Pacing Bench::pacing() const {
    std::lock_guard lock(devicesMutex_);
    return pacing_;
}

void Bench::setCapture(const std::string& path) {
    std::shared_ptr<capture::CaptureFile> file;
    if (!path.empty()) {
        std::string error;
        file = capture::CaptureFile::open(path, capture::CaptureFile::DefaultCapacity, &error);
        if (!file) {
            throw std::runtime_error("cannot write the capture to " + path + ": " + error);
        }
    }
    std::shared_ptr<capture::CaptureFile> previous;
    std::lock_guard lock(devicesMutex_);
    for (const auto& dongle : dongles_) {
        dongle->setCapture(file);
    }
    for (const auto& robot : usbRobots_) {
        robot->setCapture(file);
    }
    // The file before is complete once its last reference, this one, goes.
    previous = std::exchange(capture_, std::move(file));
}

std::string Bench::capturePath() const {
    std::lock_guard lock(devicesMutex_);
    return capture_ ? capture_->path() : std::string();
}

RadioRobot& Bench::addRadioRobot(int channel, int datarate, std::uint64_t address) {
    if (channel < 0 || channel > 255) {
        throw std::invalid_argument("a channel is 0 to 255");
    }
    if (datarate < 0 || datarate > 2) {
        throw std::invalid_argument("a data rate is 0 (250K), 1 (1M) or 2 (2M)");
    }
    if (address >> 40 != 0) {
        throw std::invalid_argument("a radio address has at most 40 bits");
    }
    return air_.addRobot(RadioSettings{channel, datarate, address});
}

}  // namespace quenfold::orvalis::emu
