#include "capture/CaptureTap.hpp"

#include <algorithm>

#include "capture/CaptureFile.hpp"
#include "capture/CaptureRecord.hpp"

namespace quenfold::orvalis::capture {
namespace {

std::uint64_t clampPacket(std::uint64_t size) {
    return std::min<std::uint64_t>(size, MaxPacketBytes);
}

}  // namespace

void CaptureTap::recordRadioExchange(const std::string& uri, ExchangeKind kind, std::uint64_t seq,
                                     const std::uint8_t* sent, std::uint64_t sentSize,
                                     const std::uint8_t* answer, std::uint64_t replySize) const {
    CaptureRecord record;
    record.interfaceId = interfaceId_;
    record.begin(RecordType::RadioExchange, device_, 0, uri);
    record.put8(static_cast<std::uint8_t>(kind));
    record.put64(seq);
    record.putBytes(sent, clampPacket(sentSize));
    record.put8(answer[0]);
    record.putBytes(answer + 1, clampPacket(replySize));
    file_->push(record);
}

void CaptureTap::recordCableWrite(const std::string& uri, std::uint64_t seq,
                                  const std::uint8_t* bytes, std::uint64_t size, bool taken) const {
    CaptureRecord record;
    record.interfaceId = interfaceId_;
    record.begin(RecordType::CableWrite, device_, 0, uri);
    record.put8(taken ? 1 : 0);
    record.put64(seq);
    record.putBytes(bytes, clampPacket(size));
    file_->push(record);
}

void CaptureTap::recordCableRead(const std::string& uri, const std::uint8_t* bytes,
                                 std::uint64_t size) const {
    CaptureRecord record;
    record.interfaceId = interfaceId_;
    record.begin(RecordType::CableRead, device_, 0, uri);
    record.putBytes(bytes, clampPacket(size));
    file_->push(record);
}

void CaptureTap::recordControlRequest(std::uint8_t request, std::uint16_t value,
                                      std::uint16_t index, const std::uint8_t* data,
                                      std::uint16_t length, int result) const {
    CaptureRecord record;
    record.interfaceId = interfaceId_;
    record.begin(RecordType::ControlRequest, device_, result < 0 ? FlagError : 0,
                 uri_ != nullptr ? std::string_view(*uri_) : std::string_view());
    record.put8(request);
    record.put16(value);
    record.put16(index);
    record.put32(static_cast<std::uint32_t>(result));
    record.putBytes(data, std::min<std::uint64_t>(length, MaxPacketBytes));
    file_->push(record);
}

void CaptureTap::recordWorkerEvent(RecordType type, const std::string& text) const {
    CaptureRecord record;
    record.interfaceId = interfaceId_;
    record.begin(type, device_, type == RecordType::WorkerFailed ? FlagError : 0,
                 uri_ != nullptr ? std::string_view(*uri_) : std::string_view());
    if (type == RecordType::WorkerFailed) {
        record.putText(text, MaxTextBytes);
    }
    file_->push(record);
}

void CaptureTap::recordTooLongDropped(const std::uint8_t* bytes, std::uint64_t size) const {
    CaptureRecord record;
    record.interfaceId = interfaceId_;
    record.begin(RecordType::TooLongDropped, device_, FlagError,
                 uri_ != nullptr ? std::string_view(*uri_) : std::string_view());
    record.put16(static_cast<std::uint16_t>(std::min<std::uint64_t>(size, 0xFFFF)));
    record.putBytes(bytes, clampPacket(size));
    file_->push(record);
}

}  // namespace quenfold::orvalis::capture
