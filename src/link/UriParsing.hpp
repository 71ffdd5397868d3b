#pragma once

#include <string>

#include "workers/LinkSettings.hpp"

namespace quenfold::orvalis {

// The settings a connection URI gives, such as "radio://0/80/2M/E7E7E7E7E7"
// or "usb://0". Throws InvalidUri with the URI's fault, or NoSuchDevice for a
// usb:// URI whose robot `robots` does not know.
LinkSettings parseLinkSettings(const std::string& text, const RobotLookup& robots);

}  // namespace quenfold::orvalis
