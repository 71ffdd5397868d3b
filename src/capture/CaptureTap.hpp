#pragma once

#include <cstdint>
#include <string>

#include "capture/CaptureFormat.hpp"

namespace quenfold::orvalis::capture {

class CaptureFile;

// Where one device's worker and driver report what they do. Without a
// capture every report is a single test of a null pointer; with one, it
// becomes a record on the device's interface.
class CaptureTap {
  public:
    CaptureTap() = default;
    CaptureTap(CaptureFile* file, std::uint32_t interfaceId, DeviceKind device) noexcept
        : file_(file), interfaceId_(interfaceId), device_(device) {}

    // The connection that the records of control requests and of the worker
    // belong to from now on (null: none). Only kept while capturing.
    void setConnection(const std::string* uri) noexcept {
        if (file_ != nullptr) {
            uri_ = uri;
        }
    }

    // A copy whose control requests and worker events belong to this
    // connection.
    CaptureTap forConnection(const std::string& uri) const noexcept {
        CaptureTap tap = *this;
        tap.setConnection(&uri);
        return tap;
    }

    // `answer` is the dongle's status byte followed by `replySize` reply bytes.
    void radioExchange(const std::string& uri, ExchangeKind kind, std::uint64_t seq,
                       const std::uint8_t* sent, std::uint64_t sentSize, const std::uint8_t* answer,
                       std::uint64_t replySize) const {
        if (file_ != nullptr) {
            recordRadioExchange(uri, kind, seq, sent, sentSize, answer, replySize);
        }
    }
    void cableWrite(const std::string& uri, std::uint64_t seq, const std::uint8_t* bytes,
                    std::uint64_t size, bool taken) const {
        if (file_ != nullptr) {
            recordCableWrite(uri, seq, bytes, size, taken);
        }
    }
    void cableRead(const std::string& uri, const std::uint8_t* bytes, std::uint64_t size) const {
        if (file_ != nullptr) {
            recordCableRead(uri, bytes, size);
        }
    }
    // `result` is what libusb returned: a byte count, or an error code below 0.
    void controlRequest(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        const std::uint8_t* data, std::uint16_t length, int result) const {
        if (file_ != nullptr) {
            recordControlRequest(request, value, index, data, length, result);
        }
    }
    // A bulk IN from the device of `size` bytes, more than the link format
    // allows, which the driver dropped.
    void tooLongDropped(const std::uint8_t* bytes, std::uint64_t size) const {
        if (file_ != nullptr) {
            recordTooLongDropped(bytes, size);
        }
    }
    // Worker start, clean stop, or failure with its text.
    void workerEvent(RecordType type, const std::string& text = std::string()) const {
        if (file_ != nullptr) {
            recordWorkerEvent(type, text);
        }
    }

  private:
    void recordRadioExchange(const std::string& uri, ExchangeKind kind, std::uint64_t seq,
                             const std::uint8_t* sent, std::uint64_t sentSize,
                             const std::uint8_t* answer, std::uint64_t replySize) const;
    void recordCableWrite(const std::string& uri, std::uint64_t seq, const std::uint8_t* bytes,
                          std::uint64_t size, bool taken) const;
    void recordCableRead(const std::string& uri, const std::uint8_t* bytes,
                         std::uint64_t size) const;
    void recordControlRequest(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                              const std::uint8_t* data, std::uint16_t length, int result) const;
    void recordWorkerEvent(RecordType type, const std::string& text) const;
    void recordTooLongDropped(const std::uint8_t* bytes, std::uint64_t size) const;

    CaptureFile* file_ = nullptr;
    std::uint32_t interfaceId_ = 0;
    DeviceKind device_ = DeviceKind::Library;
    const std::string* uri_ = nullptr;
};

}  // namespace quenfold::orvalis::capture
