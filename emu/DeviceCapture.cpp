#include "emu/DeviceCapture.hpp"

#include <algorithm>
#include <utility>

#include "capture/CaptureRecord.hpp"

namespace quenfold::orvalis::emu {
namespace {

using capture::CaptureRecord;
using capture::MaxPacketBytes;

// A packet's bytes, as many as a record holds.
void putPacket(CaptureRecord& record, const DeviceCapture::Bytes& bytes) {
    record.putBytes(bytes.data(), std::min(bytes.size(), MaxPacketBytes));
}

}  // namespace

void DeviceCapture::attach(std::shared_ptr<capture::CaptureFile> file, const std::string& serial) {
    const bool dongle = kind_ == capture::DeviceKind::Dongle;
    std::uint32_t interfaceId = 0;
    if (file) {
        interfaceId = file->addInterface(
            std::string(dongle ? "dongle " : "usb ") + serial,
            std::string(dongle ? "emulated Skelder dongle" : "emulated Korvane on a cable") +
                ", serial " + serial);
    }
    // The file this one replaces may only go once no record is being made
    // into it: outside the lock, as the last reference.
    std::shared_ptr<capture::CaptureFile> previous;
    std::lock_guard lock(mutex_);
    previous = std::exchange(file_, std::move(file));
    interfaceId_ = interfaceId;
}

template <typename Body>
void DeviceCapture::record(capture::RecordType type, std::uint8_t flags, Body body) const {
    std::lock_guard lock(mutex_);
    if (!file_) {
        return;
    }
    CaptureRecord record;
    record.interfaceId = interfaceId_;
    record.begin(type, kind_, flags, "");
    body(record);
    file_->push(record);
}

void DeviceCapture::radioExchange(const Bytes& received, const Bytes* answer) const {
    record(capture::RecordType::DeviceRadioExchange, 0, [&](CaptureRecord& record) {
        putPacket(record, received);
        record.put8(answer != nullptr ? 1 : 0);
        const bool status = answer != nullptr && !answer->empty();
        record.put8(status ? answer->front() : 0);
        const std::size_t replySize =
            status ? std::min<std::size_t>(answer->size() - 1, MaxPacketBytes) : 0;
        record.putBytes(status ? answer->data() + 1 : nullptr, replySize);
    });
}

void DeviceCapture::cableWrite(const Bytes& packet, bool taken) const {
    record(capture::RecordType::DeviceCableWrite, 0, [&](CaptureRecord& record) {
        record.put8(taken ? 1 : 0);
        putPacket(record, packet);
    });
}

void DeviceCapture::cableRead(const Bytes& packet) const {
    record(capture::RecordType::DeviceCableRead, 0,
           [&](CaptureRecord& record) { putPacket(record, packet); });
}

void DeviceCapture::controlRequest(const ControlRecord& request, int result) const {
    record(capture::RecordType::ControlRequest, result < 0 ? capture::FlagError : 0,
           [&](CaptureRecord& record) {
               record.put8(request.request);
               record.put16(request.value);
               record.put16(request.index);
               record.put32(static_cast<std::uint32_t>(result));
               putPacket(record, request.data);
           });
}

void DeviceCapture::plug(bool plugged) const {
    record(capture::RecordType::DevicePlug, 0,
           [&](CaptureRecord& record) { record.put8(plugged ? 1 : 0); });
}

}  // namespace quenfold::orvalis::emu
