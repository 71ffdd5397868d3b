#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/CaptureFile.hpp"
#include "emu/ControlRecord.hpp"

namespace quenfold::orvalis::emu {

// Where an emulated device records what it saw and answered, in the link
// capture's format, so that a capture of the devices' side can be held
// against the host's. Each device gets an interface of its own, named by its
// kind and serial. Without a file every report only finds that out. The file
// may come and go while the device runs.
class DeviceCapture {
  public:
    using Bytes = std::vector<std::uint8_t>;

    explicit DeviceCapture(capture::DeviceKind kind) : kind_(kind) {}
    DeviceCapture(const DeviceCapture&) = delete;
    DeviceCapture& operator=(const DeviceCapture&) = delete;

    // Records go to `file` from now on (null: nowhere).
    void attach(std::shared_ptr<capture::CaptureFile> file, const std::string& serial);

    // A packet the dongle got on its bulk OUT and the answer it queued for
    // the bulk IN: the status byte, then the reply (null: it stays silent).
    void radioExchange(const Bytes& received, const Bytes* answer) const;
    // A packet that a robot on a cable took, or refused for now.
    void cableWrite(const Bytes& packet, bool taken) const;
    // A packet that a robot on a cable handed to the host.
    void cableRead(const Bytes& packet) const;
    // `result` is what the host's libusb gets: the bytes of the data stage,
    // or its error code for a stall or a request that never completes.
    void controlRequest(const ControlRecord& request, int result) const;
    void plug(bool plugged) const;

  private:
    template <typename Body>
    void record(capture::RecordType type, std::uint8_t flags, Body body) const;

    const capture::DeviceKind kind_;
    mutable std::mutex mutex_;
    std::shared_ptr<capture::CaptureFile> file_;
    std::uint32_t interfaceId_ = 0;
};

}  // namespace quenfold::orvalis::emu
