// Differential fuzzing of URI parsing: the hand-written matcher and parser
// against the grammar's regular expression and a reading of its groups
// written independently with the standard library.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

#include "link/UriParsing.hpp"
#include "link/InvalidUri.hpp"
#include "link/UriGrammar.hpp"

namespace {

using quenfold::orvalis::LinkSettings;
using quenfold::orvalis::RobotPresence;

// std::regex recurses once per character; longer inputs would test the
// stack, not the parser.
constexpr std::size_t OracleLength = 256;
constexpr std::size_t Robots = 2;

const std::regex& grammar() {
    static const std::regex expression(
        R"((usb:\/\/(\d+)|radio:\/\/(\d+|\*)\/(\d+)\/(250K|1M|2M)\/([a-fA-F0-9]{10}|\*)(\?[\w=&]+)?))");
    return expression;
}

const std::regex& optionToken() {
    static const std::regex expression("(safelink|autoping|ackfilter)=([0|1])");
    return expression;
}

// Bytes outside printable ASCII written as \xNN, NUL included.
std::string escaped(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return out;
}

[[noreturn]] void fail(const std::string& uri, const std::string& what) {
    std::fprintf(stderr, "URI of %zu bytes: %s\n", uri.size(), escaped(what).c_str());
    std::abort();
}

// What parsing must give: either an error (kind and text) or the fields.
struct Expected {
    enum Kind { Parsed, Runtime, OutOfRange, InvalidArgument } kind = Parsed;
    std::string message;
    std::int32_t deviceId = 0;
    bool isRadio = false;
    std::int32_t channel = 0;
    std::int32_t datarate = 0;
    std::uint64_t address = 0;
    bool safelink = false, autoping = false, ackfilter = false;
};

struct Refusal {
    Expected::Kind kind;
    std::string message;
};

std::int32_t decimal(const std::string& digits) {
    // Exact for any length: leading zeros first, then at most ten digits.
    std::size_t first = digits.find_first_not_of('0');
    std::string significant = first == std::string::npos ? "0" : digits.substr(first);
    if (significant.size() > 10 || std::stoll(significant) > INT32_MAX) {
        throw Refusal{Expected::OutOfRange, "stoi argument out of range"};
    }
    return static_cast<std::int32_t>(std::stoll(significant));
}

Expected expectedFor(const std::string& uri, const std::smatch& m) {
    Expected e;
    const std::string invalid = "Invalid uri (" + uri + ")!";
    if (m[2].matched) {
        e.deviceId = decimal(m[2].str());
        if (static_cast<std::size_t>(e.deviceId) >= Robots) {
            throw Refusal{Expected::Runtime, "No Korvane with id=" + std::to_string(e.deviceId) +
                                                 " found. There are " + std::to_string(Robots) +
                                                 " Korvanes connected."};
        }
        return e;
    }
    e.isRadio = true;
    e.deviceId = m[3].str() == "*" ? -1 : decimal(m[3].str());
    e.channel = decimal(m[4].str());
    if (e.channel > 255) {
        throw Refusal{Expected::Runtime, invalid};
    }
    e.datarate = m[5].str() == "250K" ? 0 : m[5].str() == "1M" ? 1 : 2;
    if (m[6].str() == "*") {
        throw Refusal{Expected::InvalidArgument, "invalid stoull argument"};
    }
    e.address = std::stoull(m[6].str(), nullptr, 16);
    e.safelink = e.autoping = e.ackfilter = true;
    if (m[7].matched) {
        std::istringstream options(m[7].str().substr(1));
        std::string token;
        while (std::getline(options, token, '&')) {
            std::smatch option;
            if (!std::regex_match(token, option, optionToken())) {
                throw Refusal{Expected::Runtime, invalid + " Unknown " + token + "."};
            }
            if (option[2].str() == "0") {
                (option[1].str() == "safelink"   ? e.safelink
                 : option[1].str() == "autoping" ? e.autoping
                                                 : e.ackfilter) = false;
            }
        }
    }
    return e;
}

Expected oracle(const std::string& uri) {
    std::smatch m;
    if (!std::regex_match(uri, m, grammar())) {
        return Expected{Expected::Runtime, "Invalid uri (" + uri + ")!"};
    }
    try {
        return expectedFor(uri, m);
    } catch (const Refusal& refusal) {
        Expected e;
        e.kind = refusal.kind;
        e.message = refusal.message;
        return e;
    }
}

Expected parse(const std::string& uri, LinkSettings& state) {
    Expected got;
    try {
        state = quenfold::orvalis::parseLinkSettings(uri, [](std::int32_t id) {
            return RobotPresence{id >= 0 && static_cast<std::size_t>(id) < Robots, Robots};
        });
    } catch (const quenfold::orvalis::InvalidUri& error) {
        // Its text keeps every byte of the URI, NUL included.
        return Expected{Expected::Runtime, error.text()};
    } catch (const std::out_of_range& error) {
        return Expected{Expected::OutOfRange, error.what()};
    } catch (const std::invalid_argument& error) {
        return Expected{Expected::InvalidArgument, error.what()};
    } catch (const std::runtime_error& error) {
        return Expected{Expected::Runtime, error.what()};
    }
    got.deviceId = state.deviceId;
    got.isRadio = state.isRadio;
    got.channel = state.channel;
    got.datarate = state.datarate;
    got.address = state.address;
    got.safelink = state.safelink;
    got.autoping = state.autoping;
    got.ackfilter = state.ackfilter;
    return got;
}

void compare(const std::string& uri, const Expected& want, const Expected& got) {
    if (want.kind != got.kind || want.message != got.message) {
        fail(uri, "refusal differs: want kind " + std::to_string(want.kind) + " \"" + want.message +
                      "\", got kind " + std::to_string(got.kind) + " \"" + got.message + "\"");
    }
    if (want.kind == Expected::Parsed &&
        (want.deviceId != got.deviceId || want.isRadio != got.isRadio ||
         want.channel != got.channel || want.datarate != got.datarate ||
         want.address != got.address || want.safelink != got.safelink ||
         want.autoping != got.autoping || want.ackfilter != got.ackfilter)) {
        fail(uri, "parsed fields differ");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string uri(reinterpret_cast<const char*>(data), size);
    const bool matched = quenfold::orvalis::matchUri(uri).has_value();
    LinkSettings state;
    const Expected got = parse(uri, state);
    if (size > OracleLength) {
        // Still: a URI the matcher refuses is refused with its whole text.
        if (!matched && "Invalid uri (" + uri + ")!" != got.message) {
            fail(uri, "long refused URI lost its text");
        }
        return 0;
    }
    std::smatch m;
    if (matched != std::regex_match(uri, m, grammar())) {
        fail(uri, matched ? "matcher accepts what the grammar refuses"
                          : "matcher refuses what the grammar accepts");
    }
    compare(uri, oracle(uri), got);
    if (got.kind == Expected::Parsed && state.uri != uri) {
        fail(uri, "stored URI differs");
    }
    return 0;
}
