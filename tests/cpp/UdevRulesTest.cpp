#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "usb/USBIds.hpp"

using quenfold::orvalis::KorvaneUSBIds;
using quenfold::orvalis::SkelderIds;
using quenfold::orvalis::USBIds;

namespace {

std::vector<std::string> ruleLines() {
    std::ifstream file(ORVAPY_SOURCE_DIR "/udev/60-orvapy.rules");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line[0] != '#') {
            lines.push_back(line);
        }
    }
    return lines;
}

std::string hex4(std::uint16_t value) {
    char text[5];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

// The rule that matches the device, with what it grants; "" when none does.
std::string ruleFor(const USBIds& ids) {
    for (const std::string& line : ruleLines()) {
        if (line.find("ATTR{idVendor}==\"" + hex4(ids.vendor) + "\"") != std::string::npos &&
            line.find("ATTR{idProduct}==\"" + hex4(ids.product) + "\"") != std::string::npos) {
            return line;
        }
    }
    return "";
}

}  // namespace

// The system's rules name the devices by the ids the library looks for, and
// open them to the logged-in user and to the plugdev group.
TEST(UdevRules, GrantBothDevicesToTheUserAndPlugdev) {
    ASSERT_FALSE(ruleLines().empty()) << "udev/60-orvapy.rules is missing";
    for (const USBIds& ids : {SkelderIds, KorvaneUSBIds}) {
        std::string rule = ruleFor(ids);
        ASSERT_NE(rule, "") << "no rule for " << hex4(ids.vendor) << ":" << hex4(ids.product);
        EXPECT_NE(rule.find("SUBSYSTEM==\"usb\""), std::string::npos) << rule;
        EXPECT_NE(rule.find("TAG+=\"uaccess\""), std::string::npos) << rule;
        EXPECT_NE(rule.find("GROUP=\"plugdev\""), std::string::npos) << rule;
        EXPECT_NE(rule.find("MODE=\"0660\""), std::string::npos) << rule;
    }
}
