#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureRecord.hpp"

namespace quenfold::orvalis::capture {

// Writes a pcapng section in the host's byte order: the section header, then
// interface descriptions and enhanced packet blocks with microsecond
// timestamps. Every call reports whether the stream took the bytes.
class PcapngWriter {
  public:
    explicit PcapngWriter(std::FILE* stream);
    PcapngWriter(const PcapngWriter&) = delete;
    PcapngWriter& operator=(const PcapngWriter&) = delete;

    bool writeSectionHeader();
    bool writeInterface(const std::string& name, const std::string& description);
    bool writeRecord(const CaptureRecord& record);
    bool flush();

  private:
    bool writeBlock(std::uint32_t type);

    struct Closer {
        void operator()(std::FILE* stream) const { std::fclose(stream); }
    };
    std::unique_ptr<std::FILE, Closer> stream_;
    std::vector<std::uint8_t> body_;  // the block being built, reused
};

}  // namespace quenfold::orvalis::capture
