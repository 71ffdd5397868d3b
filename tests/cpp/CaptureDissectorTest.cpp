// The Wireshark dissector against a capture with every kind of record, read
// by tshark.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "capture/CaptureFile.hpp"
#include "capture/CaptureTap.hpp"
#include "emu/DeviceCapture.hpp"

using namespace quenfold::orvalis::capture;

namespace {

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "dissector-" + std::to_string(::getpid()) + "-" + name;
}

// One line per record: the fields asked for, separated by '|'.
std::vector<std::string> tshark(const std::string& path, const std::string& fields) {
    std::string command =
        "tshark -X lua_script:" ORVAPY_SOURCE_DIR "/tools/wireshark/orvapy.lua -r " + path +
        " -T fields -E separator='|' -E occurrence=f " + fields + " 2>/dev/null";
    struct Closer {
        void operator()(std::FILE* pipe) const { ::pclose(pipe); }
    };
    std::unique_ptr<std::FILE, Closer> pipe(::popen(command.c_str(), "r"));
    std::string output;
    std::array<char, 4096> chunk;
    while (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) {
        output.append(chunk.data(), n);
    }
    std::vector<std::string> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

TEST(CaptureDissector, DecodesEveryKindOfRecord) {
    const std::string path = tempPath("all.pcapng");
    {
        auto capture = CaptureFile::open(path);
        ASSERT_TRUE(capture);
        CaptureTap dongle(capture.get(), capture->addInterface(DeviceKind::Dongle, "EMU0", 0),
                          DeviceKind::Dongle);
        CaptureTap robot(capture.get(), capture->addInterface(DeviceKind::CableRobot, "EMUR0", 0),
                         DeviceKind::CableRobot);
        const std::string radio = "radio://0/80/2M/E7E7E7E7E7?safelink=0";
        const std::string safe = "radio://0/80/2M/E7E7E7E7E8";
        const std::string cable = "usb://0";
        const std::uint8_t packet[] = {0x12, 0xAA};      // port 1, channel 2
        const std::uint8_t lost[] = {0x00};              // no acknowledgement
        const std::uint8_t echo[] = {0x01, 0x12, 0xAA};  // acknowledged, echoed
        const std::uint8_t empty[] = {0x01};             // acknowledged, no reply
        const std::uint8_t ping[] = {0xFF};
        const std::uint8_t handshake[] = {0xFF, 0x05, 0x01};
        const std::uint8_t upDown[] = {0x3C, 0x01};  // port 3, both safelink bits
        const std::uint8_t address[] = {0xE7, 0xE7, 0xE7, 0xE7, 0xE8};

        dongle.workerEvent(RecordType::WorkerStarted);     // 1
        dongle.controlRequest(0x03, 2, 0, nullptr, 0, 0);  // 2
        dongle.controlRequest(0x20, 0, 0, nullptr, 0, 0);  // 3
        std::string turn = safe;
        dongle.setConnection(&turn);
        dongle.controlRequest(0x02, 0, 0, address, sizeof address, 5);                  // 4
        dongle.controlRequest(0x01, 80, 0, nullptr, 0, 0);                              // 5
        dongle.controlRequest(0x10, 1, 0, nullptr, 0, -4);                              // 6
        dongle.radioExchange(radio, ExchangeKind::Packet, 5, packet, 2, lost, 0);       // 7
        dongle.radioExchange(radio, ExchangeKind::Packet, 5, packet, 2, echo, 2);       // 8
        dongle.radioExchange(radio, ExchangeKind::Ping, 0, ping, 1, empty, 0);          // 9
        dongle.radioExchange(safe, ExchangeKind::Handshake, 0, handshake, 3, echo, 0);  // 10
        dongle.radioExchange(safe, ExchangeKind::Packet, 1, upDown, 2, lost, 0);        // 11
        dongle.radioExchange(safe, ExchangeKind::Resend, 1, upDown, 2, echo, 2);        // 12
        dongle.workerEvent(RecordType::WorkerFailed, "LIBUSB_ERROR_NO_DEVICE");         // 13
        robot.setConnection(&cable);
        robot.controlRequest(0x01, 1, 1, nullptr, 0, 0);  // 14
        robot.cableWrite(cable, 9, packet, 2, true);      // 15
        robot.cableWrite(cable, 10, packet, 2, false);    // 16
        robot.cableRead(cable, packet, 2);                // 17
        robot.controlRequest(0x01, 1, 0, nullptr, 0, 0);  // 18
        robot.workerEvent(RecordType::WorkerStopped);     // 19
    }
    std::vector<std::string> lines =
        tshark(path,
               "-e orvapy.decoded -e orvapy.type -e orvapy.uri -e orvapy.kind -e orvapy.seq "
               "-e orvapy.port -e orvapy.channel -e orvapy.safelink_up -e orvapy.safelink_down "
               "-e orvapy.payload -e orvapy.ack -e orvapy.reply -e orvapy.resend "
               "-e orvapy.request_name -e orvapy.error -e orvapy.text -e orvapy.taken");
    const std::vector<std::string> expected = {
        "1|5|||||||||||||0||",
        "1|4||||||||||||Set data rate 2M|0||",
        "1|4||||||||||||Start-up 0x20|0||",
        "1|4|radio://0/80/2M/E7E7E7E7E8|||||||||||Set address E7E7E7E7E8|0||",
        "1|4|radio://0/80/2M/E7E7E7E7E8|||||||||||Set channel 80|0||",
        "1|4|radio://0/80/2M/E7E7E7E7E8|||||||||||Radio enable on|1||",
        "1|1|radio://0/80/2M/E7E7E7E7E7?safelink=0|0|5|1|2|0|0|aa|0||0||0||",
        "1|1|radio://0/80/2M/E7E7E7E7E7?safelink=0|0|5|1|2|0|0|aa|1|12aa|1||0||",
        "1|1|radio://0/80/2M/E7E7E7E7E7?safelink=0|1|0|15|3|1|1||1||0||0||",
        "1|1|radio://0/80/2M/E7E7E7E7E8|2|0|15|3|1|1|0501|1||0||0||",
        "1|1|radio://0/80/2M/E7E7E7E7E8|0|1|3|0|1|1|01|0||0||0||",
        "1|1|radio://0/80/2M/E7E7E7E7E8|3|1|3|0|1|1|01|1|12aa|1||0||",
        "1|7|radio://0/80/2M/E7E7E7E7E8||||||||||||1|LIBUSB_ERROR_NO_DEVICE|",
        "1|4|usb://0|||||||||||Link on|0||",
        "1|2|usb://0||9|1|2|0|0|aa|||||0||1",
        "1|2|usb://0||10|1|2|0|0|aa|||||0||0",
        "1|3|usb://0|||1|2|0|0|aa|||||0||",
        "1|4|usb://0|||||||||||Link off|0||",
        "1|6|usb://0||||||||||||0||",
    };
    EXPECT_EQ(lines, expected);
    if (!::testing::Test::HasFailure()) {
        std::remove(path.c_str());
    }
}

TEST(CaptureDissector, DecodesTheDevicesRecords) {
    using quenfold::orvalis::emu::DeviceCapture;
    const std::string path = tempPath("devices.pcapng");
    {
        auto file = std::shared_ptr<CaptureFile>(CaptureFile::open(path));
        ASSERT_TRUE(file);
        DeviceCapture dongle(DeviceKind::Dongle);
        DeviceCapture robot(DeviceKind::CableRobot);
        dongle.attach(file, "EMU0");
        robot.attach(file, "EMUR0");
        const DeviceCapture::Bytes packet = {0x12, 0xAA};
        const DeviceCapture::Bytes echo = {0x01, 0x12, 0xAA};
        const DeviceCapture::Bytes lost = {0x00};
        dongle.plug(true);                            // 1
        dongle.controlRequest({0x01, 80, 0, {}}, 0);  // 2
        dongle.controlRequest({0x10, 1, 0, {}}, -9);  // 3: stalled
        dongle.radioExchange(packet, &echo);          // 4
        dongle.radioExchange(packet, &lost);          // 5
        dongle.radioExchange(packet, nullptr);        // 6: silent
        robot.controlRequest({0x01, 1, 1, {}}, 0);    // 7
        robot.cableWrite(packet, false);              // 8
        robot.cableWrite(packet, true);               // 9
        robot.cableRead(packet);                      // 10
        robot.plug(false);                            // 11
        dongle.attach(nullptr, "EMU0");
        dongle.plug(false);  // no longer recorded
    }
    std::vector<std::string> lines =
        tshark(path,
               "-e frame.interface_name -e orvapy.decoded -e orvapy.type -e orvapy.device "
               "-e orvapy.port -e orvapy.payload -e orvapy.answered -e orvapy.ack "
               "-e orvapy.reply -e orvapy.taken -e orvapy.request_name -e orvapy.result "
               "-e orvapy.error -e orvapy.plugged");
    const std::vector<std::string> expected = {
        "dongle EMU0|1|12|1|||||||||0|1",
        "dongle EMU0|1|4|1|||||||Set channel 80|0|0|",
        "dongle EMU0|1|4|1|||||||Radio enable on|-9|1|",
        "dongle EMU0|1|9|1|1|aa|1|1|12aa||||0|",
        "dongle EMU0|1|9|1|1|aa|1|0|||||0|",
        "dongle EMU0|1|9|1|1|aa|0|0|||||0|",
        "usb EMUR0|1|4|2|||||||Link on|0|0|",
        "usb EMUR0|1|10|2|1|aa||||0|||0|",
        "usb EMUR0|1|10|2|1|aa||||1|||0|",
        "usb EMUR0|1|11|2|1|aa|||||||0|",
        "usb EMUR0|1|12|2|||||||||0|0",
    };
    EXPECT_EQ(lines, expected);
    if (!::testing::Test::HasFailure()) {
        std::remove(path.c_str());
    }
}

TEST(CaptureDissector, MarksDroppedRecords) {
    const std::string path = tempPath("drops.pcapng");
    {
        auto capture = CaptureFile::open(path, 1);
        ASSERT_TRUE(capture);
        CaptureTap tap(capture.get(), 0, DeviceKind::Library);
        for (int i = 0; i < 1000; ++i) {
            tap.workerEvent(RecordType::WorkerStarted);
        }
    }
    std::uint64_t dropped = 0;
    std::uint64_t started = 0;
    for (const std::string& line :
         tshark(path, "-e orvapy.decoded -e orvapy.type -e orvapy.dropped")) {
        EXPECT_EQ(line.substr(0, 2), "1|");
        if (line.substr(2, 2) == "8|") {
            dropped += std::stoull(line.substr(4));
        } else {
            EXPECT_EQ(line, "1|5|");
            ++started;
        }
    }
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(started + dropped, 1000u);
    std::remove(path.c_str());
}
