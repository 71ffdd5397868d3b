#pragma once

// Reads back a capture file written by the library, block by block, so that
// tests can check what a reader of the file would see.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/CaptureFormat.hpp"

namespace quenfold::orvalis::testing {

struct CapturedInterface {
    std::uint16_t linkType = 0;
    std::string name;
    std::string description;
    int timestampResolution = -1;
};

struct CapturedRecord {
    std::uint32_t interfaceId = 0;
    std::uint64_t timestampUs = 0;
    std::vector<std::uint8_t> data;

    capture::RecordType type() const { return static_cast<capture::RecordType>(data.at(1)); }
    std::uint8_t flags() const { return data.at(3); }
    std::string uri() const { return std::string(data.begin() + 5, data.begin() + 5 + data.at(4)); }
    // The bytes after the header and the URI.
    std::vector<std::uint8_t> body() const { return {data.begin() + 5 + data.at(4), data.end()}; }
};

struct CaptureContents {
    bool sectionHeader = false;
    bool complete = true;  // every block was whole and well formed
    std::vector<CapturedInterface> interfaces;
    std::vector<CapturedRecord> records;

    std::vector<CapturedRecord> ofType(capture::RecordType type) const {
        std::vector<CapturedRecord> found;
        for (const CapturedRecord& record : records) {
            if (record.type() == type) {
                found.push_back(record);
            }
        }
        return found;
    }
};

inline std::uint32_t read32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

inline std::uint16_t read16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint16_t value;
    std::memcpy(&value, bytes.data() + at, 2);
    return value;
}

inline std::uint64_t readLittle64(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes.at(at + i);
    }
    return value;
}

inline CaptureContents readCapture(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    CaptureContents contents;
    std::size_t at = 0;
    while (at + 12 <= bytes.size()) {
        std::uint32_t type = read32(bytes, at);
        std::uint32_t total = read32(bytes, at + 4);
        if (total < 12 || total % 4 != 0 || at + total > bytes.size() ||
            read32(bytes, at + total - 4) != total) {
            contents.complete = false;
            return contents;
        }
        std::size_t body = at + 8;
        if (type == 0x0A0D0D0A) {
            contents.sectionHeader = at == 0 && read32(bytes, body) == 0x1A2B3C4D;
        } else if (type == 1) {
            CapturedInterface interface;
            interface.linkType = read16(bytes, body);
            for (std::size_t option = body + 8; option + 4 <= at + total - 4;) {
                std::uint16_t code = read16(bytes, option);
                std::uint16_t length = read16(bytes, option + 2);
                if (code == 0) {
                    break;
                }
                std::string value(bytes.begin() + option + 4, bytes.begin() + option + 4 + length);
                if (code == 2) {
                    interface.name = value;
                } else if (code == 3) {
                    interface.description = value;
                } else if (code == 9) {
                    interface.timestampResolution = static_cast<std::uint8_t>(value.at(0));
                }
                option += 4 + (length + 3) / 4 * 4;
            }
            contents.interfaces.push_back(interface);
        } else if (type == 6) {
            CapturedRecord record;
            record.interfaceId = read32(bytes, body);
            record.timestampUs =
                (std::uint64_t{read32(bytes, body + 4)} << 32) | read32(bytes, body + 8);
            std::uint32_t length = read32(bytes, body + 12);
            record.data.assign(bytes.begin() + body + 20, bytes.begin() + body + 20 + length);
            contents.records.push_back(record);
        }
        at += total;
    }
    contents.complete = contents.complete && at == bytes.size();
    return contents;
}

}  // namespace quenfold::orvalis::testing
