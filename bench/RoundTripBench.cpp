// What the link library adds to a USB round trip, on the emulated bench:
// the time of the bare driver calls against the time of the same exchange
// through a connection, its queues and its worker thread.
//
//   make bench     (runs under the umockdev preload)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "AllocationCount.hpp"
#include "emu/Bench.hpp"
#include "link/ConnectionAccess.hpp"
#include "orvalis/Connection.hpp"
#include "usb/DeviceList.hpp"
#include "usb/KorvaneUSB.hpp"
#include "usb/Skelder.hpp"
#include "workers/LinkRegistry.hpp"

namespace {

using namespace quenfold::orvalis;
using Clock = std::chrono::steady_clock;

constexpr int Rounds = 200;

double medianMicroseconds(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

template <typename Action>
double timeEach(Action action) {
    std::vector<double> samples;
    for (int i = 0; i < Rounds; ++i) {
        auto started = Clock::now();
        action();
        samples.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - started).count());
    }
    return medianMicroseconds(samples);
}

struct DeviceUnref {
    void operator()(libusb_device* device) const { libusb_unref_device(device); }
};
using DeviceRef = std::unique_ptr<libusb_device, DeviceUnref>;

DeviceRef firstDevice(const USBContext& context, std::uint16_t product) {
    DeviceList devices(context.get());
    for (libusb_device* device : devices) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(device, &descriptor) == 0 &&
            descriptor.idProduct == product) {
            return DeviceRef(libusb_ref_device(device));
        }
    }
    throw std::runtime_error("emulated device not found");
}

Packet echoPacket() {
    Packet packet;
    packet.setPort(1);
    packet.setChannel(0);
    packet.setPayload("\x01\x02\x03\x04");
    return packet;
}

// C++ allocations per echo through a connection once it runs: the worker,
// the queues and the caller's send and recv.
double allocationsPerEcho(Connection& connection) {
    constexpr int Echoes = 200;
    auto echo = [&connection] {
        Packet packet = echoPacket();
        connection.send(packet);
        while (!connection.recv(1000).valid()) {
        }
    };
    for (int i = 0; i < 20; ++i) {
        echo();
    }
    long before = quenfold::orvalis::bench::allocationCount();
    for (int i = 0; i < Echoes; ++i) {
        echo();
    }
    return double(quenfold::orvalis::bench::allocationCount() - before) / Echoes;
}

// One echo through a connection: queued, sent by the worker, answered on a
// later exchange, queued again, taken.
double connectionRoundTrip(Connection& connection) {
    return timeEach([&] {
        Packet packet = echoPacket();
        connection.send(packet);
        while (!connection.recv(1000).valid()) {
        }
    });
}

}  // namespace

int main() {
    // Under the launcher (python3.9 -m orvaemu --dongle BENCH0 --usb-robot
    // BENCHR0 --radio-robot 80/2M -- round_trip_bench) the devices answer
    // from another process, and every allocation counted here is the
    // library's own; otherwise the bench lives in this process.
    std::unique_ptr<emu::Bench> bench;
    if (std::getenv("UMOCKDEV_DIR") == nullptr) {
        bench = std::make_unique<emu::Bench>();
        bench->addDongle("BENCH0");
        bench->addUSBRobot("BENCHR0");
        bench->addRadioRobot(80, 2);
    }
    USBContext context;
    Packet packet = echoPacket();

    double radioExchange;
    double cableExchange;
    {
        DeviceRef dongleDevice = firstDevice(context, 0x7777);
        Skelder dongle(dongleDevice.get());
        dongle.setChannel(80);
        radioExchange = timeEach([&] { dongle.sendPacket(packet.rawData(), packet.size()); });
    }
    {
        DeviceRef robotDevice = firstDevice(context, 0x5740);
        KorvaneUSB robot(context.get(), robotDevice.get());
        WorkSignal neverRaised;
        std::uint8_t reply[PacketCapacity];
        cableExchange = timeEach([&] {
            robot.send(packet.rawData(), static_cast<std::uint32_t>(packet.size()));
            do {
                robot.awaitReceived(neverRaised);
            } while (!robot.received() || robot.takeReceived(reply) == 0);
        });
    }

    LinkRegistry registry;
    double radioTrip;
    double cableTrip;
    double radioAllocations;
    double safelinkAllocations;
    double cableAllocations;
    {
        // Without pings the echo would wait for the next packet to ride on.
        Connection radio =
            ConnectionAccess::open("radio://0/80/2M/E7E7E7E7E7?safelink=0", registry);
        radioTrip = connectionRoundTrip(radio);
        radioAllocations = allocationsPerEcho(radio);
    }
    {
        Connection radio = ConnectionAccess::open("radio://0/80/2M/E7E7E7E7E7", registry);
        safelinkAllocations = allocationsPerEcho(radio);
    }
    {
        Connection cable = ConnectionAccess::open("usb://0", registry);
        cableTrip = connectionRoundTrip(cable);
        cableAllocations = allocationsPerEcho(cable);
    }

    // Medians. Over the radio an echo rides on a later acknowledgement, so a
    // round trip through a connection spans one to two exchanges.
    std::printf(
        "radio: driver exchange %.0f us, echo through a connection %.0f us (%.2f exchanges)\n",
        radioExchange, radioTrip, radioTrip / radioExchange);
    std::printf("cable: driver write and read %.0f us, echo through a connection %.0f us (%.2fx)\n",
                cableExchange, cableTrip, cableTrip / cableExchange);
    std::printf("allocations per echo, radio plain: %.2f (C++, all threads%s, steady state)\n",
                radioAllocations, bench ? " and the bench's" : "");
    std::printf("allocations per echo, radio safelink: %.2f\n", safelinkAllocations);
    std::printf("allocations per echo, cable: %.2f\n", cableAllocations);
    // Only the library's own count must stay at zero.
    bool counted = radioAllocations + safelinkAllocations + cableAllocations == 0;
    return counted || bench ? EXIT_SUCCESS : EXIT_FAILURE;
}
