#include "capture/PcapngWriter.hpp"

#include <cstring>

namespace quenfold::orvalis::capture {
namespace {

constexpr std::uint32_t SectionHeaderBlock = 0x0A0D0D0A;
constexpr std::uint32_t InterfaceBlock = 0x00000001;
constexpr std::uint32_t EnhancedPacketBlock = 0x00000006;
constexpr std::uint32_t ByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t OptionEnd = 0;
constexpr std::uint16_t OptionName = 2;
constexpr std::uint16_t OptionDescription = 3;
constexpr std::uint16_t OptionTimestampResolution = 9;
constexpr std::uint8_t Microseconds = 6;

template <typename T>
void append(std::vector<std::uint8_t>& body, T value) {
    std::uint8_t bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    body.insert(body.end(), bytes, bytes + sizeof value);
}

void pad(std::vector<std::uint8_t>& body) {
    while (body.size() % 4 != 0) {
        body.push_back(0);
    }
}

void appendOption(std::vector<std::uint8_t>& body, std::uint16_t code, const void* value,
                  std::size_t size) {
    append(body, code);
    append(body, static_cast<std::uint16_t>(size));
    const auto* bytes = static_cast<const std::uint8_t*>(value);
    body.insert(body.end(), bytes, bytes + size);
    pad(body);
}

}  // namespace

PcapngWriter::PcapngWriter(std::FILE* stream) {
    body_.reserve(MaxRecordBytes + 64);
    if (stream != nullptr) {
        attach(stream);
    }
}

void PcapngWriter::attach(std::FILE* stream) {
    stream_.reset(stream);
    std::setvbuf(stream_.get(), nullptr, _IONBF, 0);
}

void PcapngWriter::writeSectionHeader() {
    body_.clear();
    append(body_, ByteOrderMagic);
    append(body_, std::uint16_t{1});  // version 1.0
    append(body_, std::uint16_t{0});
    append(body_, std::int64_t{-1});  // section length not given
    writeBlock(SectionHeaderBlock);
}

void PcapngWriter::writeInterface(const std::string& name, const std::string& description) {
    body_.clear();
    append(body_, LinkType);
    append(body_, std::uint16_t{0});
    append(body_, std::uint32_t{0});  // no snapshot length limit
    appendOption(body_, OptionName, name.data(), name.size());
    appendOption(body_, OptionDescription, description.data(), description.size());
    appendOption(body_, OptionTimestampResolution, &Microseconds, 1);
    append(body_, OptionEnd);
    append(body_, std::uint16_t{0});
    writeBlock(InterfaceBlock);
}

void PcapngWriter::writeRecord(const CaptureRecord& record) {
    body_.clear();
    append(body_, record.interfaceId);
    append(body_, static_cast<std::uint32_t>(record.timestampUs >> 32));
    append(body_, static_cast<std::uint32_t>(record.timestampUs));
    append(body_, std::uint32_t{record.length});
    append(body_, std::uint32_t{record.length});
    body_.insert(body_.end(), record.data.begin(), record.data.begin() + record.length);
    pad(body_);
    writeBlock(EnhancedPacketBlock);
}

void PcapngWriter::writeBlock(std::uint32_t type) {
    const auto total = static_cast<std::uint32_t>(body_.size() + 12);
    append(pending_, type);
    append(pending_, total);
    pending_.insert(pending_.end(), body_.begin(), body_.end());
    append(pending_, total);
}

bool PcapngWriter::flush() {
    if (!stream_) {
        return true;
    }
    // One write for everything: the stream has no buffer of its own.
    const bool taken = pending_.empty() || std::fwrite(pending_.data(), 1, pending_.size(),
                                                       stream_.get()) == pending_.size();
    pending_.clear();
    return taken && std::fflush(stream_.get()) == 0 && std::ferror(stream_.get()) == 0;
}

}  // namespace quenfold::orvalis::capture
