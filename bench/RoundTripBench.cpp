// What the link library adds to a USB round trip, on the emulated bench:
// the time of the bare driver calls against the time of the same exchange
// through a connection, its queues and its worker thread; and the same with
// the link captured to a file. Each round measures every side once, in turn;
// the figures are the best round's.
//
//   make bench     (runs under the umockdev preload)
#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

#include "capture/CaptureFile.hpp"
#include "emu/Bench.hpp"
#include "link/Connection.hpp"
#include "usb/DeviceList.hpp"
#include "usb/KorvaneUSB.hpp"
#include "usb/Skelder.hpp"
#include "workers/LinkRegistry.hpp"

namespace {

using namespace quenfold::orvalis;
using Clock = std::chrono::steady_clock;

constexpr int Rounds = 300;
constexpr int DefaultBenchRounds = 5;

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

struct Figures {
    double radioExchange;
    double cableExchange;
    double radioTrip;
    double cableTrip;
};

Figures driverFigures(const USBContext& context) {
    Packet packet = echoPacket();
    Figures figures{};
    {
        DeviceRef dongleDevice = firstDevice(context, 0x7777);
        Skelder dongle(dongleDevice.get());
        dongle.setChannel(80);
        figures.radioExchange =
            timeEach([&] { dongle.sendPacket(packet.rawData(), packet.size()); });
    }
    {
        DeviceRef robotDevice = firstDevice(context, 0x5740);
        KorvaneUSB robot(robotDevice.get());
        std::uint8_t reply[32];
        figures.cableExchange = timeEach([&] {
            robot.send(packet.rawData(), static_cast<std::uint32_t>(packet.size()));
            while (robot.receive(reply, sizeof reply, 1000) == 0) {
            }
        });
    }
    return figures;
}

void connectionFigures(LinkRegistry& registry, Figures& figures) {
    {
        // Without pings the echo would wait for the next packet to ride on.
        Connection radio("radio://0/80/2M/E7E7E7E7E7?safelink=0", registry);
        figures.radioTrip = connectionRoundTrip(radio);
    }
    {
        Connection cable("usb://0", registry);
        figures.cableTrip = connectionRoundTrip(cable);
    }
}

// User and system time of the whole process: the workers, the capture's
// writer and the emulated devices.
double processCpuMicroseconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

double best(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

}  // namespace

int main(int argc, char** argv) {
    // round_trip_bench [ROUNDS]
    const int benchRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : DefaultBenchRounds;
    emu::Bench bench;
    bench.addDongle("BENCH0");
    bench.addUSBRobot("BENCHR0");
    bench.addRadioRobot(80, 2);
    USBContext context;
    const std::string capturePath =
        std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/round-trip-" +
        std::to_string(::getpid()) + ".pcapng";

    // Per side, the best round's medians: the driver's, measured before
    // either side, and the echoes through a connection without and with capture.
    std::vector<double> radioExchange, cableExchange;
    std::vector<double> radioTrip[2], cableTrip[2], cpuPerEcho[2];
    for (int round = 0; round < benchRounds; ++round) {
        // The side that goes first alternates, so that neither gains from its place.
        for (bool capturing : {round % 2 == 0, round % 2 != 0}) {
            Figures figures = driverFigures(context);
            LinkRegistry registry(capturing ? capture::CaptureFile::open(capturePath) : nullptr);
            const double cpuBefore = processCpuMicroseconds();
            connectionFigures(registry, figures);
            cpuPerEcho[capturing].push_back((processCpuMicroseconds() - cpuBefore) / (2 * Rounds));
            radioExchange.push_back(figures.radioExchange);
            cableExchange.push_back(figures.cableExchange);
            radioTrip[capturing].push_back(figures.radioTrip);
            cableTrip[capturing].push_back(figures.cableTrip);
        }
    }
    std::remove(capturePath.c_str());

    // Over the radio an echo rides on a later acknowledgement, so a round trip
    // through a connection spans one to two exchanges.
    const double radio = best(radioExchange);
    const double cable = best(cableExchange);
    std::printf(
        "radio: driver exchange %.0f us, echo through a connection %.0f us (%.2f exchanges)\n",
        radio, best(radioTrip[0]), best(radioTrip[0]) / radio);
    std::printf("cable: driver write and read %.0f us, echo through a connection %.0f us (%.2fx)\n",
                cable, best(cableTrip[0]), best(cableTrip[0]) / cable);
    std::printf(
        "captured: radio echo %.0f us (%.2f exchanges, %+.1f%%), cable echo %.0f us (%.2fx, "
        "%+.1f%%)\n",
        best(radioTrip[1]), best(radioTrip[1]) / radio,
        100.0 * (best(radioTrip[1]) / best(radioTrip[0]) - 1), best(cableTrip[1]),
        best(cableTrip[1]) / cable, 100.0 * (best(cableTrip[1]) / best(cableTrip[0]) - 1));
    std::printf("process CPU per echo: %.0f us, captured %.0f us; best of %d rounds, interleaved\n",
                best(cpuPerEcho[0]), best(cpuPerEcho[1]), benchRounds);
    return 0;
}
