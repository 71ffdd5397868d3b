// The devices' own capture: what a libusb client does to them, recorded from
// their side and read back from the file.
#include <gtest/gtest.h>
#include <libusb.h>
#include <unistd.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "PcapngReader.hpp"
#include "USBClient.hpp"
#include "emu/BenchTest.hpp"

namespace quenfold::orvalis::emu {
namespace {

using orvalis::testing::CaptureContents;
using orvalis::testing::CapturedRecord;
using orvalis::testing::readCapture;
using testing::USBClient;
using Bytes = std::vector<std::uint8_t>;
using capture::RecordType;

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "device-capture-" + std::to_string(::getpid()) + "-" + name;
}

// A length byte and that many bytes, from `at` on; `at` moves past them.
Bytes takeBytes(const Bytes& body, std::size_t& at) {
    std::size_t size = body.at(at);
    Bytes bytes(body.begin() + at + 1, body.begin() + at + 1 + size);
    at += 1 + size;
    return bytes;
}

class DeviceCaptureTest : public BenchTest {
  protected:
    // Ends the capture, so that the file is complete, and reads it.
    CaptureContents finish() {
        client.reset();
        bench().setCapture("");
        return readCapture(path);
    }

    const std::string path =
        tempPath(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::optional<USBClient> client;
};

TEST_F(DeviceCaptureTest, DongleRecordsWhatItGotAndAnswered) {
    bench().setCapture(path);
    EXPECT_EQ(bench().capturePath(), path);
    Dongle& dongle = bench().addDongle("EMUC0");
    RadioRobot& robot = bench().addRadioRobot(2, 2);  // where the dongle starts
    robot.queueOutbound({0x30, 0xAA});
    client.emplace();
    ASSERT_TRUE(client->open(0x1915, 0x7777, "EMUC0"));

    ASSERT_EQ(client->vendorOut(0x01, 2, 0), 0);
    dongle.failNextControl();
    ASSERT_EQ(client->vendorOut(0x01, 2, 0), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(client->vendorOut(0x02, 0, 0, {0xE7, 0xE7, 0xE7, 0xE7, 0xE7}), 5);
    ASSERT_EQ(client->write({0x10, 1, 2}).status, 0);
    auto [status, answer] = client->read(64, 1000);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(answer, (Bytes{0x01, 0x30, 0xAA}));
    dongle.stopAnswering(true);
    ASSERT_EQ(client->write({0xF3}).status, 0);

    CaptureContents contents = finish();
    ASSERT_TRUE(contents.complete);
    ASSERT_EQ(contents.interfaces.size(), 2u);
    EXPECT_EQ(contents.interfaces[1].name, "dongle EMUC0");
    EXPECT_EQ(contents.interfaces[1].linkType, 147);
    for (const CapturedRecord& record : contents.records) {
        EXPECT_EQ(record.interfaceId, 1u);
        EXPECT_EQ(record.data.at(2), 1) << "recorded as a dongle";
        EXPECT_EQ(record.uri(), "");
    }
    // The capture ended before the dongle went: only its arrival shows.
    auto plugs = contents.ofType(RecordType::DevicePlug);
    ASSERT_EQ(plugs.size(), 1u);
    EXPECT_EQ(plugs[0].body(), Bytes{1});

    // bRequest, wValue, wIndex, the host's result, the data stage; a stall
    // carries libusb's error and the error flag.
    auto controls = contents.ofType(RecordType::ControlRequest);
    ASSERT_EQ(controls.size(), 3u);
    EXPECT_EQ(controls[0].body(), (Bytes{0x01, 2, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(controls[0].flags(), 0);
    EXPECT_EQ(controls[1].body(), (Bytes{0x01, 2, 0, 0, 0, 0xF7, 0xFF, 0xFF, 0xFF, 0}));
    EXPECT_EQ(controls[1].flags(), 1);
    EXPECT_EQ(controls[2].body(),
              (Bytes{0x02, 0, 0, 0, 0, 5, 0, 0, 0, 5, 0xE7, 0xE7, 0xE7, 0xE7, 0xE7}));

    // What came in on bulk OUT, whether it answered, the status byte and the
    // reply: byte for byte what the client read.
    auto exchanges = contents.ofType(RecordType::DeviceRadioExchange);
    ASSERT_EQ(exchanges.size(), 2u);
    Bytes body = exchanges[0].body();
    std::size_t at = 0;
    EXPECT_EQ(takeBytes(body, at), (Bytes{0x10, 1, 2}));
    EXPECT_EQ(body.at(at), 1);
    EXPECT_EQ(body.at(at + 1), answer[0]);
    at += 2;
    EXPECT_EQ(takeBytes(body, at), Bytes(answer.begin() + 1, answer.end()));
    EXPECT_EQ(at, body.size());
    EXPECT_EQ(exchanges[1].body(), (Bytes{1, 0xF3, 0, 0, 0})) << "silent: no answer";
}

TEST_F(DeviceCaptureTest, RobotRecordsRefusalsPacketsBothWaysAndPlugging) {
    USBRobot& robot = bench().addUSBRobot("EMUCR0");
    bench().setCapture(path);  // on a device already there
    client.emplace();
    ASSERT_TRUE(client->open(0x0483, 0x5740, "EMUCR0"));
    robot.refuse(1);
    EXPECT_EQ(client->write({0x21, 7}, 10).status, LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(client->write({0x21, 8}).status, 0);
    ASSERT_EQ(client->read(64, 1000), std::make_pair(0, Bytes{0x21, 8}));
    client.reset();
    robot.unplug();
    robot.replug();

    CaptureContents contents = finish();
    ASSERT_TRUE(contents.complete);
    ASSERT_EQ(contents.interfaces.size(), 2u);
    EXPECT_EQ(contents.interfaces[1].name, "usb EMUCR0");
    std::vector<Bytes> bodies;
    std::vector<RecordType> types;
    for (const CapturedRecord& record : contents.records) {
        EXPECT_EQ(record.data.at(2), 2) << "recorded as a robot on a cable";
        types.push_back(record.type());
        bodies.push_back(record.body());
    }
    EXPECT_EQ(types,
              (std::vector<RecordType>{RecordType::DevicePlug, RecordType::DeviceCableWrite,
                                       RecordType::DeviceCableWrite, RecordType::DeviceCableRead,
                                       RecordType::DevicePlug, RecordType::DevicePlug}));
    EXPECT_EQ(bodies,
              (std::vector<Bytes>{{1}, {0, 2, 0x21, 7}, {1, 2, 0x21, 8}, {2, 0x21, 8}, {0}, {1}}));
}

TEST_F(DeviceCaptureTest, UnwritablePathThrowsAndLeavesTheCaptureBefore) {
    bench().setCapture(path);
    EXPECT_THROW(bench().setCapture("/nonexistent-folder/bench.pcapng"), std::runtime_error);
    EXPECT_EQ(bench().capturePath(), path);
    bench().addUSBRobot("EMUCR1");
    CaptureContents contents = finish();
    EXPECT_EQ(contents.ofType(RecordType::DevicePlug).size(), 1u);
}

}  // namespace
}  // namespace quenfold::orvalis::emu
