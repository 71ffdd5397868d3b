#include <gtest/gtest.h>

#include <libusb.h>

#include <thread>
#include <vector>

#include "USBClient.hpp"
#include "emu/BenchTest.hpp"

namespace quenfold::orvalis::emu {
namespace {

using testing::USBClient;
using Bytes = std::vector<std::uint8_t>;

// What libusb_open says for the first listed device with these ids, or 1
// when none is listed.
int openStatus(std::uint16_t vendor, std::uint16_t product) {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) {
        return 1;
    }
    libusb_device** devices = nullptr;
    ssize_t count = libusb_get_device_list(context, &devices);
    int status = 1;
    for (ssize_t i = 0; i < count && status == 1; ++i) {
        libusb_device_descriptor descriptor;
        libusb_get_device_descriptor(devices[i], &descriptor);
        if (descriptor.idVendor == vendor && descriptor.idProduct == product) {
            libusb_device_handle* handle = nullptr;
            status = libusb_open(devices[i], &handle);
            if (status == 0) {
                libusb_close(handle);
            }
        }
    }
    if (count >= 0) {
        libusb_free_device_list(devices, 1);
    }
    libusb_exit(context);
    return status;
}

class Faults : public BenchTest {
  protected:
    void SetUp() override {
        BenchTest::SetUp();
        dongle = &bench().addDongle("EMU0");
        robot = &bench().addUSBRobot("EMUR0");
        bench().addRadioRobot(2, 2);
    }

    Dongle* dongle = nullptr;
    USBRobot* robot = nullptr;
};

TEST_F(Faults, UnplugEndsTransfersWithNoDeviceAndReplugComesBackWithTheSameSerial) {
    USBClient client;
    ASSERT_TRUE(client.open(0x1915, 0x7777, "EMU0"));
    dongle->unplug();
    EXPECT_FALSE(dongle->plugged());
    EXPECT_EQ(client.write({0xFF}).status, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(client.vendorOut(0x01, 3, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(client.serials(0x1915, 0x7777).empty());
    client.close();

    dongle->replug();
    EXPECT_EQ(client.serials(0x1915, 0x7777), std::vector<std::string>{"EMU0"});
    ASSERT_TRUE(client.open(0x1915, 0x7777, "EMU0"));
    EXPECT_EQ(client.write({0xFF}).status, 0);
    EXPECT_EQ(client.read(33, 1000).second, Bytes{0x01});
}

TEST_F(Faults, UnplugWakesAReadThatIsWaiting) {
    USBClient client;
    ASSERT_TRUE(client.open(0x0483, 0x5740, "EMUR0"));
    int status = 0;
    // Whether the read is already waiting when the cable goes or starts after,
    // it ends the same way.
    std::thread reader([&] { status = client.read(64, 60000).first; });
    robot->unplug();
    reader.join();
    EXPECT_EQ(status, LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(Faults, StalledEndpointAnswersPipeUntilTheHaltIsCleared) {
    USBClient client;
    ASSERT_TRUE(client.open(0x0483, 0x5740, "EMUR0"));
    robot->stallEndpoint(0x01);
    EXPECT_EQ(client.write({0x21, 1}, 10).status, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(client.write({0x21, 1}, 10).status, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(client.clearHalt(0x01), 0);
    EXPECT_EQ(client.write({0x21, 1}).status, 0);

    robot->stallEndpoint(0x81);
    EXPECT_EQ(client.read(64, 1000).first, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(client.clearHalt(0x81), 0);
    EXPECT_EQ(client.read(64, 1000).second, (Bytes{0x21, 1}));
}

TEST_F(Faults, ShortWriteReportsWhatTheDeviceTook) {
    USBClient client;
    ASSERT_TRUE(client.open(0x1915, 0x7777, "EMU0"));
    dongle->shortWrite(20);
    Bytes packet(32, 0x44);
    USBClient::Result written = client.write(packet);
    EXPECT_EQ(written.status, 0);
    EXPECT_EQ(written.transferred, 20);
    EXPECT_EQ(client.write(packet).transferred, 32);
    EXPECT_EQ(dongle->bulkOutLog(), (std::vector<Bytes>{Bytes(20, 0x44), packet}));
}

TEST_F(Faults, AHandleOpenedBeforeAReplugStaysDead) {
    USBClient before;
    ASSERT_TRUE(before.open(0x1915, 0x7777, "EMU0"));
    dongle->unplug();
    dongle->replug();
    EXPECT_EQ(before.write({0xFF}).status, LIBUSB_ERROR_NO_DEVICE);
    USBClient after;
    ASSERT_TRUE(after.open(0x1915, 0x7777, "EMU0"));
    EXPECT_EQ(after.write({0xFF}).status, 0);
}

TEST_F(Faults, DeniedAccessRefusesOpeningUntilGrantedAcrossAReplug) {
    USBClient open;
    ASSERT_TRUE(open.open(0x0483, 0x5740, "EMUR0"));
    dongle->denyAccess(true);
    robot->denyAccess(true);
    EXPECT_EQ(openStatus(0x1915, 0x7777), LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(openStatus(0x0483, 0x5740), LIBUSB_ERROR_ACCESS);
    // A handle opened before keeps working.
    EXPECT_EQ(open.write({0x10, 0x01}).status, 0);
    open.close();

    dongle->unplug();
    dongle->replug();
    EXPECT_EQ(openStatus(0x1915, 0x7777), LIBUSB_ERROR_ACCESS);
    dongle->denyAccess(false);
    robot->denyAccess(false);
    EXPECT_EQ(openStatus(0x1915, 0x7777), 0);
    EXPECT_EQ(openStatus(0x0483, 0x5740), 0);
}

}  // namespace
}  // namespace quenfold::orvalis::emu
