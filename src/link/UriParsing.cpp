#include "link/UriParsing.hpp"

#include <optional>
#include <stdexcept>

#include "link/InvalidUri.hpp"
#include "link/UriGrammar.hpp"
#include "workers/LinkError.hpp"

namespace quenfold::orvalis {
namespace {

// Reads decimal digits into a signed 32-bit integer, failing as the standard
// conversion does when the value does not fit. Digits of any length are
// accepted; leading zeros count for nothing.
std::int32_t toInt32(std::string_view digits) {
    std::size_t first = digits.find_first_not_of('0');
    if (first == std::string_view::npos) {
        return 0;
    }
    digits.remove_prefix(first);
    if (digits.size() > 10) {
        throw std::out_of_range("stoi argument out of range");
    }
    std::int64_t value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
    }
    if (value > INT32_MAX) {
        throw std::out_of_range("stoi argument out of range");
    }
    return static_cast<std::int32_t>(value);
}

std::uint64_t toAddress(std::string_view hexDigits) {
    if (hexDigits == "*") {
        throw std::invalid_argument("invalid stoull argument");
    }
    std::uint64_t value = 0;
    for (char c : hexDigits) {
        int nibble = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        value = (value << 4) | static_cast<std::uint64_t>(nibble);
    }
    return value;
}

std::int32_t toDatarate(std::string_view token) {
    if (token == "250K") {
        return 0;
    }
    return token == "1M" ? 1 : 2;
}

// Splits at every '&' like repeated getline: a trailing '&' adds no token,
// two in a row add an empty one.
template <typename Visit>
void forEachOption(std::string_view options, Visit visit) {
    while (!options.empty()) {
        std::size_t end = options.find('&');
        visit(options.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        options.remove_prefix(end + 1);
    }
}

// Returns the option flag a token names, or null when the token is not one of
// "safelink", "autoping" or "ackfilter", then "=", then one of "0", "|", "1".
bool* optionFlag(LinkSettings& state, std::string_view token) {
    std::size_t equals = token.find('=');
    if (equals == std::string_view::npos || token.size() != equals + 2) {
        return nullptr;
    }
    char value = token.back();
    if (value != '0' && value != '1' && value != '|') {
        return nullptr;
    }
    std::string_view name = token.substr(0, equals);
    if (name == "safelink") {
        return &state.safelink;
    }
    if (name == "autoping") {
        return &state.autoping;
    }
    if (name == "ackfilter") {
        return &state.ackfilter;
    }
    return nullptr;
}

std::string invalidUri(const std::string& text) {
    return "Invalid uri (" + text + ")!";
}

}  // namespace

LinkSettings parseLinkSettings(const std::string& text, const RobotLookup& robots) {
    std::optional<UriMatch> match = matchUri(text);
    if (!match) {
        throw InvalidUri(invalidUri(text));
    }
    LinkSettings settings;
    settings.uri = text;

    if (match->isUSB) {
        std::int32_t id = toInt32(match->usbIndex);
        settings.deviceId = id;
        RobotPresence presence = robots(id);
        if (!presence.present) {
            throw NoSuchDevice("No Korvane with id=" + std::to_string(id) +
                                     " found. There are " + std::to_string(presence.count) +
                                     " Korvanes connected.");
        }
        settings.isRadio = false;
        return settings;
    }

    settings.deviceId = match->dongle == "*" ? -1 : toInt32(match->dongle);
    settings.channel = toInt32(match->channel);
    // The dongle takes an 8-bit channel; a larger one would be tuned to a
    // different channel than the URI names.
    if (settings.channel > 255) {
        throw InvalidUri(invalidUri(text));
    }
    settings.datarate = toDatarate(match->datarate);
    settings.address = toAddress(match->address);
    settings.safelink = settings.autoping = settings.ackfilter = true;
    if (match->options) {
        forEachOption(*match->options, [&](std::string_view token) {
            bool* flag = optionFlag(settings, token);
            if (flag == nullptr) {
                throw InvalidUri(invalidUri(text) + " Unknown " + std::string(token) + ".");
            }
            if (token.back() == '0') {
                *flag = false;
            }
        });
    }
    settings.isRadio = true;
    return settings;
}

}  // namespace quenfold::orvalis
