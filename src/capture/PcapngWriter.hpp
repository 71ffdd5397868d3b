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
// timestamps. Blocks gather in memory and go to the stream at each flush,
// which reports whether it took them.
//
// The stream itself is unbuffered: the process's exit flushes every stdio
// stream still open, and the capture's never closes when its registry lives
// to the end. A file that stopped taking bytes would hold that exit forever
// if the stream had bytes of its own left to write.
class PcapngWriter {
  public:
    // A null stream is given later, with attach(); until then flush() keeps
    // the blocks.
    explicit PcapngWriter(std::FILE* stream);
    void attach(std::FILE* stream);
    bool attached() const noexcept { return stream_ != nullptr; }
    PcapngWriter(const PcapngWriter&) = delete;
    PcapngWriter& operator=(const PcapngWriter&) = delete;

    void writeSectionHeader();
    void writeInterface(const std::string& name, const std::string& description);
    void writeRecord(const CaptureRecord& record);
    // Hands everything written since the last flush to the file.
    bool flush();

  private:
    void writeBlock(std::uint32_t type);

    struct Closer {
        void operator()(std::FILE* stream) const { std::fclose(stream); }
    };
    std::unique_ptr<std::FILE, Closer> stream_;
    std::vector<std::uint8_t> body_;     // the block being built, reused
    std::vector<std::uint8_t> pending_;  // blocks not yet flushed, reused
};

}  // namespace quenfold::orvalis::capture
