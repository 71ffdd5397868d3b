// Waits on an emulated device node, as a bare usbfs client makes them: the
// node is ready for poll, select and epoll exactly while one of the client's
// URBs can be reaped, and a waiter wakes when one becomes reapable. Needs the
// wait preload (ctest's environment has it).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "emu/BenchTest.hpp"

namespace quenfold::orvalis::emu {
namespace {

// The node of the first device with these ids, as its bus address names it.
std::string nodeOf(std::uint16_t vendor, std::uint16_t product) {
    libusb_context* context = nullptr;
    std::string path;
    if (libusb_init(&context) != 0) {
        return path;
    }
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count && path.empty(); ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) == 0 &&
            descriptor.idVendor == vendor && descriptor.idProduct == product) {
            char text[32];
            std::snprintf(text, sizeof text, "/dev/bus/usb/%03u/%03u",
                          libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]));
            path = text;
        }
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    libusb_exit(context);
    return path;
}

class NodeWait : public BenchTest {
  protected:
    void SetUp() override {
        BenchTest::SetUp();
        robot = &bench().addUSBRobot("EMUR0");
        std::string node = nodeOf(0x0483, 0x5740);
        ASSERT_FALSE(node.empty());
        fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0) << node;
    }
    void TearDown() override {
        if (fd >= 0) {
            close(fd);
        }
        BenchTest::TearDown();
    }

    void submitIn() {
        *urb = usbdevfs_urb{};
        urb->type = USBDEVFS_URB_TYPE_BULK;
        urb->endpoint = 0x81;
        urb->buffer = buffer;
        urb->buffer_length = sizeof buffer;
        ASSERT_EQ(ioctl(fd, USBDEVFS_SUBMITURB, urb.get()), 0);
    }
    // The events poll reports on the node after waiting up to `timeoutMs`.
    short polled(int timeoutMs, short wanted = POLLOUT | POLLWRNORM) {
        pollfd entry{fd, wanted, 0};
        return poll(&entry, 1, timeoutMs) == 1 ? entry.revents : 0;
    }
    bool selectedForWriting() {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(fd, &writable);
        timeval now{0, 0};
        return select(fd + 1, nullptr, &writable, nullptr, &now) == 1 && FD_ISSET(fd, &writable);
    }
    usbdevfs_urb* reaped() {
        void* done = nullptr;
        return ioctl(fd, USBDEVFS_REAPURBNDELAY, &done) == 0 ? static_cast<usbdevfs_urb*>(done)
                                                              : nullptr;
    }

    USBRobot* robot = nullptr;
    int fd = -1;
    // Apart: the struct ends in a flexible array.
    std::unique_ptr<usbdevfs_urb> urb = std::make_unique<usbdevfs_urb>();
    unsigned char buffer[64] = {};
};

TEST_F(NodeWait, ReadyForPollSelectAndEpollOnlyWhileAURBCanBeReaped) {
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(epoll, 0);
    epoll_event interest{};
    interest.events = EPOLLOUT;
    interest.data.u64 = 77;
    ASSERT_EQ(epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &interest), 0);
    epoll_event event{};

    EXPECT_EQ(polled(0), 0) << "nothing submitted";
    submitIn();
    EXPECT_EQ(polled(0), 0) << "a bulk IN pending on a silent robot";
    EXPECT_FALSE(selectedForWriting());
    EXPECT_EQ(epoll_wait(epoll, &event, 1, 0), 0);

    robot->queueInbound({0x51, 9});
    EXPECT_EQ(polled(10000), POLLOUT | POLLWRNORM) << "the IN has its data";
    EXPECT_EQ(polled(0, POLLIN), 0) << "a usbfs node is never readable";
    EXPECT_TRUE(selectedForWriting());
    ASSERT_EQ(epoll_wait(epoll, &event, 1, 10000), 1);
    EXPECT_EQ(event.events, static_cast<std::uint32_t>(EPOLLOUT));
    EXPECT_EQ(event.data.u64, 77u);

    ASSERT_EQ(reaped(), urb.get());
    EXPECT_EQ(urb->status, 0);
    EXPECT_EQ(urb->actual_length, 2);
    EXPECT_EQ(polled(0), 0) << "reaped: nothing left";
    EXPECT_FALSE(selectedForWriting());
    EXPECT_EQ(epoll_wait(epoll, &event, 1, 0), 0);

    // A discarded URB completes (-ENOENT) and is reapable like any other.
    submitIn();
    ASSERT_EQ(ioctl(fd, USBDEVFS_DISCARDURB, urb.get()), 0);
    EXPECT_EQ(polled(10000), POLLOUT | POLLWRNORM);
    ASSERT_EQ(reaped(), urb.get());
    EXPECT_EQ(urb->status, -ENOENT);
    EXPECT_EQ(polled(0), 0);
    close(epoll);
}

TEST_F(NodeWait, WaiterWakesWhenDataArrivesAndWhenAPacedTransferComesDue) {
    submitIn();
    short woken = 0;
    std::thread waiter([&] { woken = polled(20000); });
    // Whether the robot answers before or during the wait, the waiter must
    // see the IN reapable well before its time-out.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    robot->queueInbound({0x51, 9});
    waiter.join();
    EXPECT_EQ(woken, POLLOUT | POLLWRNORM) << "the waiter slept through the answer";
    ASSERT_EQ(reaped(), urb.get());

    // Paced, the write completes a millisecond or so later, with nothing else
    // happening on the node: the device's timer raises it.
    bench().setPacing(Pacing::hardware());
    unsigned char packet[] = {0x21, 1};
    usbdevfs_urb write{};
    write.type = USBDEVFS_URB_TYPE_BULK;
    write.endpoint = 0x01;
    write.buffer = packet;
    write.buffer_length = sizeof packet;
    ASSERT_EQ(ioctl(fd, USBDEVFS_SUBMITURB, &write), 0);
    EXPECT_EQ(polled(20000), POLLOUT | POLLWRNORM) << "the paced write never came due";
    usbdevfs_urb* done = reaped();
    EXPECT_TRUE(done == &write || done == urb.get());
}

TEST_F(NodeWait, ClosingTheNodeLetsItsNumberServeAnyOtherFile) {
    submitIn();
    ASSERT_EQ(polled(0), 0);
    close(fd);
    fd = -1;
    // The lowest free numbers: one end of the pipe very likely gets the node's.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "x", 1), 1);
    pollfd entries[2] = {{ends[0], POLLIN | POLLOUT, 0}, {ends[1], POLLIN | POLLOUT, 0}};
    EXPECT_EQ(poll(entries, 2, 0), 2);
    EXPECT_EQ(entries[0].revents, POLLIN);
    EXPECT_EQ(entries[1].revents, POLLOUT);
    close(ends[0]);
    close(ends[1]);
}

}  // namespace
}  // namespace quenfold::orvalis::emu
