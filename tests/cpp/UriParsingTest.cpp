#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "link/UriParsing.hpp"

using quenfold::orvalis::LinkSettings;
using quenfold::orvalis::parseLinkSettings;
using quenfold::orvalis::RobotLookup;
using quenfold::orvalis::RobotPresence;

namespace {

RobotLookup robots(std::size_t count) {
    return [count](std::int32_t id) {
        return RobotPresence{id >= 0 && static_cast<std::size_t>(id) < count, count};
    };
}

// Parses into a fresh state and returns the failure's text, or "" on success.
template <typename Error = std::runtime_error>
std::string parseError(const std::string& uri, std::size_t robotCount = 0) {
    try {
        parseLinkSettings(uri, robots(robotCount));
    } catch (const Error& error) {
        return error.what();
    }
    return "";
}

std::string invalid(const std::string& uri) {
    return "Invalid uri (" + uri + ")!";
}

}  // namespace

TEST(UriParsing, RadioFieldsAndDefaults) {
    LinkSettings state = parseLinkSettings("radio://0/80/2M/e7e7e7e7e7", robots(0));
    EXPECT_TRUE(state.isRadio);
    EXPECT_EQ(state.uri, "radio://0/80/2M/e7e7e7e7e7");
    EXPECT_EQ(state.deviceId, 0);
    EXPECT_EQ(state.channel, 80);
    EXPECT_EQ(state.datarate, 2);
    EXPECT_EQ(state.address, 0xE7E7E7E7E7u);
    EXPECT_TRUE(state.safelink && state.autoping && state.ackfilter);

    LinkSettings any =
        parseLinkSettings("radio://*/10/250K/0102030405?safelink=0&autoping=0", robots(0));
    EXPECT_EQ(any.deviceId, -1);
    EXPECT_EQ(any.datarate, 0);
    EXPECT_EQ(any.address, 0x0102030405u);
    EXPECT_FALSE(any.safelink);
    EXPECT_FALSE(any.autoping);
    EXPECT_TRUE(any.ackfilter);

    LinkSettings oneM = parseLinkSettings("radio://12/200/1M/FFFFFFFFFF", robots(0));
    EXPECT_EQ(oneM.deviceId, 12);
    EXPECT_EQ(oneM.channel, 200);
    EXPECT_EQ(oneM.datarate, 1);
}

TEST(UriParsing, GrammarRefusals) {
    for (const char* uri :
         {"radio://0/80/2m/E7E7E7E7E7", "usb://0?safelink=0", "radio://0/80/2M/E7E7E7E7E7?",
          "usb://", "usb://-1", "usb://1 ", "radio://0/80/2M/E7E7E7E7E",
          "radio://0/80/2M/E7E7E7E7E7E", "radio://*5/80/2M/E7E7E7E7E7", "radio://0//2M/E7E7E7E7E7",
          "radio://0/80/500K/E7E7E7E7E7", "radio://0/80/2M/E7E7E7E7E7?safelink=0 ",
          "radio://0/80/2M/E7E7E7E7E7?a-b", "radio://0/80/2M/G7E7E7E7E7",
          "Radio://0/80/2M/E7E7E7E7E7", "", "usb://0/"}) {
        EXPECT_EQ(parseError(uri), invalid(uri)) << uri;
    }
}

TEST(UriParsing, ChannelAboveEightBitsIsRefused) {
    EXPECT_EQ(parseError("radio://0/256/2M/E7E7E7E7E7"), invalid("radio://0/256/2M/E7E7E7E7E7"));
    EXPECT_EQ(parseError("radio://0/300/2M/E7E7E7E7E7"), invalid("radio://0/300/2M/E7E7E7E7E7"));
    EXPECT_EQ(parseError("radio://0/255/2M/E7E7E7E7E7"), "");
    EXPECT_EQ(parseError("radio://0/0000255/2M/E7E7E7E7E7"), "");
}

TEST(UriParsing, OptionTokens) {
    const std::string base = "radio://0/80/2M/E7E7E7E7E7";
    EXPECT_EQ(parseError(base + "?foo=1"), invalid(base + "?foo=1") + " Unknown foo=1.");
    EXPECT_EQ(parseError(base + "?safelink=0&&autoping=0"),
              invalid(base + "?safelink=0&&autoping=0") + " Unknown .");
    EXPECT_EQ(parseError(base + "?&"), invalid(base + "?&") + " Unknown .");
    EXPECT_EQ(parseError(base + "?safelink=2"),
              invalid(base + "?safelink=2") + " Unknown safelink=2.");
    EXPECT_EQ(parseError(base + "?safelink=00"),
              invalid(base + "?safelink=00") + " Unknown safelink=00.");
    EXPECT_EQ(parseError(base + "?safelink"), invalid(base + "?safelink") + " Unknown safelink.");
    // The first unknown token is the one reported, after earlier ones applied.
    EXPECT_EQ(parseError(base + "?autoping=0&x=0&y=0"),
              invalid(base + "?autoping=0&x=0&y=0") + " Unknown x=0.");

    // The option expression would take "|" as a value, but the option part
    // admits only letters, digits, "_", "=" and "&": such a URI is refused
    // whole, before any option is looked at, so "|" turns nothing off.
    for (std::string options : {"?safelink=|", "?safelink=0&autoping=|", "?ackfilter=|&"}) {
        EXPECT_EQ(parseError(base + options), invalid(base + options)) << options;
    }

    LinkSettings trailing = parseLinkSettings(base + "?safelink=0&", robots(0));
    EXPECT_FALSE(trailing.safelink);
    EXPECT_TRUE(trailing.autoping);

    LinkSettings noReturn =
        parseLinkSettings(base + "?safelink=0&safelink=1&ackfilter=0&ackfilter=1", robots(0));
    EXPECT_FALSE(noReturn.safelink);
    EXPECT_FALSE(noReturn.ackfilter);
    EXPECT_TRUE(noReturn.autoping);
}

TEST(UriParsing, USBIndexAgainstTheRobotCount) {
    EXPECT_EQ(parseError("usb://5", 2),
              "No Korvane with id=5 found. There are 2 Korvanes connected.");
    EXPECT_EQ(parseError("usb://0", 0),
              "No Korvane with id=0 found. There are 0 Korvanes connected.");

    LinkSettings state = parseLinkSettings("usb://007", robots(8));
    EXPECT_FALSE(state.isRadio);
    EXPECT_EQ(state.deviceId, 7);
    EXPECT_EQ(state.uri, "usb://007");
    EXPECT_EQ(state.channel, 0);
    EXPECT_FALSE(state.safelink || state.autoping || state.ackfilter);
}

TEST(UriParsing, RobotCountIsAskedOnlyForMatchingUSBUris) {
    int asked = 0;
    RobotLookup counting = [&asked](std::int32_t) {
        ++asked;
        return RobotPresence{true, 1};
    };
    parseLinkSettings("radio://0/80/2M/E7E7E7E7E7", counting);
    EXPECT_THROW(parseLinkSettings("usb://x", counting), std::runtime_error);
    EXPECT_EQ(asked, 0);
}

TEST(UriParsing, NumbersOutOfRange) {
    using std::out_of_range;
    EXPECT_EQ(parseError<out_of_range>("radio://12345678901/80/2M/E7E7E7E7E7"),
              "stoi argument out of range");
    EXPECT_EQ(parseError<out_of_range>("radio://0/12345678901/2M/E7E7E7E7E7"),
              "stoi argument out of range");
    EXPECT_EQ(parseError<out_of_range>("radio://0/2147483648/2M/E7E7E7E7E7"),
              "stoi argument out of range");
    EXPECT_EQ(parseError<out_of_range>("usb://2147483648", 3), "stoi argument out of range");
    EXPECT_EQ(parseError("usb://2147483647", 3),
              "No Korvane with id=2147483647 found. There are 3 Korvanes connected.");
    EXPECT_EQ(parseError<std::invalid_argument>("radio://0/80/2M/*"), "invalid stoull argument");
}

TEST(UriParsing, VeryLongUrisDoNotExhaustTheStack) {
    EXPECT_EQ(parseError<std::out_of_range>("usb://" + std::string(200000, '1'), 2),
              "stoi argument out of range");
    std::string options = "radio://0/80/2M/E7E7E7E7E7?";
    for (int i = 0; i < 50000; ++i) {
        options += "safelink=0&";
    }
    LinkSettings state = parseLinkSettings(options, robots(0));
    EXPECT_FALSE(state.safelink);
    std::string zeros = "usb://" + std::string(300000, '0');
    EXPECT_EQ(parseError(zeros, 1), "");
}
