#include <gtest/gtest.h>

#include <libusb.h>

#include <cstdint>

#include "USBClient.hpp"
#include "emu/BenchTest.hpp"

namespace quenfold::orvalis::emu {
namespace {

using testing::USBClient;

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

class Access : public BenchTest {
  protected:
    void SetUp() override {
        BenchTest::SetUp();
        dongle = &bench().addDongle("EMU0");
        robot = &bench().addUSBRobot("EMUR0");
    }

    Dongle* dongle = nullptr;
    USBRobot* robot = nullptr;
};

TEST_F(Access, DeniedAccessRefusesOpeningUntilGrantedAcrossAReplug) {
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

TEST_F(Access, ADeniedSerialIsGrantedAgainWhenItsDeviceGoes) {
    dongle->unplug();
    robot->unplug();
    {
        Bench first;
        first.addUSBRobot("EMUR9").denyAccess(true);
        EXPECT_EQ(openStatus(0x0483, 0x5740), LIBUSB_ERROR_ACCESS);
    }
    Bench second;
    second.addUSBRobot("EMUR9");
    EXPECT_EQ(openStatus(0x0483, 0x5740), 0);
}

}  // namespace
}  // namespace quenfold::orvalis::emu
