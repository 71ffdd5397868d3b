#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "capture/CaptureFormat.hpp"

namespace quenfold::orvalis::capture {

// One encoded record on its way to the file: a flat value, so that the buffer
// between the workers and the writer never allocates.
struct CaptureRecord {
    std::uint64_t timestampUs = 0;
    std::uint32_t interfaceId = 0;
    std::uint16_t length = 0;
    std::array<std::uint8_t, MaxRecordBytes> data;

    // Starts a record of the given type; a URI longer than MaxUriBytes is cut.
    void begin(RecordType type, DeviceKind device, std::uint8_t flags, std::string_view uri) {
        length = 0;
        put8(FormatVersion);
        put8(static_cast<std::uint8_t>(type));
        put8(static_cast<std::uint8_t>(device));
        put8(flags);
        putText(uri, MaxUriBytes);
    }
    void put8(std::uint8_t value) { data[length++] = value; }
    void put16(std::uint16_t value) { putLittleEndian(value, 2); }
    void put32(std::uint32_t value) { putLittleEndian(value, 4); }
    void put64(std::uint64_t value) { putLittleEndian(value, 8); }
    // A length byte, then the bytes; the caller keeps them within the record.
    void putBytes(const std::uint8_t* bytes, std::size_t size) {
        put8(static_cast<std::uint8_t>(size));
        if (size != 0) {  // an empty text or data stage may come as a null pointer
            std::memcpy(data.data() + length, bytes, size);
        }
        length = static_cast<std::uint16_t>(length + size);
    }
    void putText(std::string_view text, std::size_t limit) {
        putBytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                 text.size() < limit ? text.size() : limit);
    }

  private:
    void putLittleEndian(std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            put8(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
};

}  // namespace quenfold::orvalis::capture
