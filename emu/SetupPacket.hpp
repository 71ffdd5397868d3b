#pragma once

#include <cstddef>
#include <cstdint>

namespace quenfold::orvalis::emu {

// The 8 bytes that open every control transfer, little-endian on the bus.
struct SetupPacket {
    static constexpr std::size_t Size = 8;

    std::uint8_t requestType;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;

    static SetupPacket parse(const std::uint8_t* bytes) {
        auto little16 = [bytes](int at) {
            return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
        };
        return {bytes[0], bytes[1], little16(2), little16(4), little16(6)};
    }

    bool toHost() const { return (requestType & 0x80) != 0; }
    bool standard() const { return (requestType & 0x60) == 0x00; }
    bool toEndpoint() const { return (requestType & 0x1F) == 0x02; }
};

}  // namespace quenfold::orvalis::emu
