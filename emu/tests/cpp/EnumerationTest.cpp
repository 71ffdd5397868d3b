#include <gtest/gtest.h>

#include <libusb.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "USBClient.hpp"
#include "emu/BenchTest.hpp"
#include "emu/Testbed.hpp"

namespace quenfold::orvalis::emu {
namespace {

using testing::USBClient;
using Serials = std::vector<std::string>;

Serials sorted(Serials serials) {
    std::sort(serials.begin(), serials.end());
    return serials;
}

class Enumeration : public BenchTest {};

TEST_F(Enumeration, ListsDonglesAndRobotsByIdWithTheirSerials) {
    bench().addDongle("EMU0");
    bench().addDongle("EMU1", 0x0102);
    bench().addUSBRobot("EMUR0", 0x0200);
    USBClient client;
    EXPECT_EQ(sorted(client.serials(0x1915, 0x7777)), (Serials{"EMU0", "EMU1"}));
    EXPECT_EQ(client.serials(0x0483, 0x5740), Serials{"EMUR0"});
    ASSERT_TRUE(client.open(0x1915, 0x7777, "EMU1"));
    EXPECT_EQ(client.bcdDevice(), 0x0102);
    ASSERT_TRUE(client.open(0x0483, 0x5740, "EMUR0"));
    EXPECT_EQ(client.bcdDevice(), 0x0200);
}

std::string sysfsAttribute(const Bench& bench, const std::string& serial, const char* name) {
    namespace fs = std::filesystem;
    for (const auto& entry : fs::directory_iterator(bench.rootDir() + "/sys/bus/usb/devices")) {
        std::ifstream serialFile(entry.path() / "serial");
        std::string line;
        if (std::getline(serialFile, line) && line == serial) {
            std::ifstream file(entry.path() / name);
            return std::string(std::istreambuf_iterator<char>(file), {});
        }
    }
    return "(no device " + serial + ")";
}

// Programs other than libusb read these as the kernel writes them: one value
// per file, ending with a newline.
TEST_F(Enumeration, SysfsAttributesReadLikeTheKernels) {
    bench().addDongle("EMU\\0", 0x0102);
    bench().addUSBRobot("EMUR0");
    auto dongle = [this](const char* name) { return sysfsAttribute(bench(), "EMU\\0", name); };
    EXPECT_EQ(dongle("serial"), "EMU\\0\n");
    EXPECT_EQ(dongle("manufacturer"), "Skelder\n");
    EXPECT_EQ(dongle("product"), "Skelder Radio Dongle\n");
    EXPECT_EQ(dongle("idVendor"), "1915\n");
    EXPECT_EQ(dongle("idProduct"), "7777\n");
    EXPECT_EQ(dongle("bcdDevice"), "0102\n");
    EXPECT_EQ(dongle("version"), " 2.00\n");
    EXPECT_EQ(dongle("speed"), "12\n");
    EXPECT_EQ(dongle("bNumConfigurations"), "1\n");
    EXPECT_EQ(dongle("bMaxPower"), "100mA\n");
    EXPECT_EQ(sysfsAttribute(bench(), "EMUR0", "idVendor"), "0483\n");
    USBClient client;
    EXPECT_EQ(sorted(client.serials(0x1915, 0x7777)), Serials{"EMU\\0"});
}

TEST_F(Enumeration, DevicesAddedLaterAreListedByTheNextScan) {
    USBClient client;
    EXPECT_TRUE(client.serials(0x1915, 0x7777).empty());
    bench().addDongle("LATE");
    EXPECT_EQ(client.serials(0x1915, 0x7777), Serials{"LATE"});
}

TEST(BenchLifetime, BenchesFollowOneAnotherInOneProcess) {
    for (const char* serial : {"FIRST", "SECOND", "THIRD"}) {
        Bench bench;
        bench.addDongle(serial);
        USBClient client;
        EXPECT_EQ(client.serials(0x1915, 0x7777), Serials{serial});
        ASSERT_TRUE(client.open(0x1915, 0x7777, serial));
        EXPECT_EQ(client.vendorOut(0x01, 40, 0), 0);
    }
}

TEST(BenchLifetime, ALibusbContextOutlivesBenchesAndSeesEachInTurn) {
    std::optional<USBClient> client;
    {
        Bench first;
        first.addDongle("FIRST");
        client.emplace();
        ASSERT_TRUE(client->open(0x1915, 0x7777, "FIRST"));
    }
    // The bench took its devices along, and the handle still open on one of
    // them sees it unplugged.
    EXPECT_EQ(client->vendorOut(0x01, 40, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(client->serials(0x1915, 0x7777).empty());
    Bench second;
    second.addDongle("SECOND");
    EXPECT_EQ(client->serials(0x1915, 0x7777), Serials{"SECOND"});
    ASSERT_TRUE(client->open(0x1915, 0x7777, "SECOND"));
    EXPECT_EQ(client->vendorOut(0x01, 40, 0), 0);
}

std::size_t openFiles() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// A long test run makes thousands of devices; each used to keep a socket open.
TEST(BenchLifetime, GoneBenchesLeaveNoOpenFilesBehind) {
    auto benchWithDevices = [] {
        Bench bench;
        bench.addDongle("EMU0").replug();
        bench.addUSBRobot("EMUR0");
        USBClient client;
        EXPECT_TRUE(client.open(0x1915, 0x7777, "EMU0"));
    };
    benchWithDevices();
    std::size_t before = openFiles();
    for (int i = 0; i < 20; ++i) {
        benchWithDevices();
    }
    EXPECT_EQ(openFiles(), before);
}

// Registered a second time in CMake, to run without the preload.
TEST(WithoutPreload, BenchSaysHowToStartTheProcess) {
    if (Testbed::preloaded()) {
        GTEST_SKIP() << "only meaningful without the preload";
    }
    try {
        Bench bench;
        ADD_FAILURE() << "a bench without the preload";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("LD_PRELOAD=libumockdev-preload.so.0"),
                  std::string::npos);
    }
}

TEST(BenchLifetime, RejectsMalformedDevices) {
    Bench bench;
    // An empty serial is a device's right (cheap clones ship them); one that
    // no string descriptor can hold is not.
    EXPECT_THROW(bench.addDongle(std::string(127, 'x')), std::invalid_argument);
    EXPECT_THROW(bench.addUSBRobot("tab\there"), std::invalid_argument);
    EXPECT_THROW(bench.addRadioRobot(80, 3), std::invalid_argument);
    EXPECT_THROW(bench.addRadioRobot(256, 2), std::invalid_argument);
    EXPECT_THROW(bench.addRadioRobot(80, 2, 1ULL << 40), std::invalid_argument);
}

}  // namespace
}  // namespace quenfold::orvalis::emu
