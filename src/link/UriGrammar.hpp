#pragma once

#include <optional>
#include <string_view>

namespace quenfold::orvalis {

// The pieces of a URI that matched the connection grammar
//   usb://<digits>
//   radio://<digits|*>/<digits>/<250K|1M|2M>/<10 hex digits|*>[?<[A-Za-z0-9_=&]+>]
// Views point into the matched string.
struct UriMatch {
    bool isUSB = false;
    std::string_view usbIndex;
    std::string_view dongle;
    std::string_view channel;
    std::string_view datarate;
    std::string_view address;
    std::optional<std::string_view> options;  // without the leading '?'
};

// Matches the whole string, in one linear pass: no recursion, so URIs of any
// length are safe to match.
std::optional<UriMatch> matchUri(std::string_view uri) noexcept;

}  // namespace quenfold::orvalis
