#pragma once

// What a connection URI says, as a value: parsed once when the connection is
// opened (link/UriParsing.hpp) and read, never changed, by the registry and
// the workers after that.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace quenfold::orvalis {

struct LinkSettings {
    std::string uri;
    bool isRadio = false;
    // The dongle or robot the URI names; -1: any dongle.
    std::int32_t deviceId = 0;
    std::int32_t channel = 0;
    std::int32_t datarate = 0;  // 0: 250K, 1: 1M, 2: 2M
    std::uint64_t address = 0;
    bool safelink = false;
    bool autoping = false;
    bool ackfilter = false;
};

// What the link registry knows about directly attached robots when a usb://
// URI is parsed: whether the named id is one of its robots, and how many
// robots it knows (for the message when it is not).
struct RobotPresence {
    bool present = false;
    std::size_t count = 0;
};
using RobotLookup = std::function<RobotPresence(std::int32_t id)>;

}  // namespace quenfold::orvalis
