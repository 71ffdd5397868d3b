// The other side of the benchmark's ratios: the same USB exchanges that an
// echo through orvapy needs, made by a bare libusb loop with nothing between
// it and the device, and the same echo through the C++ link library without
// Python. Loaded by bench/performance.py with ctypes, so that both sides run
// in one process against one emulated bench, round after round.
#include <libusb.h>
#include <sys/prctl.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "capture/CaptureFile.hpp"
#include "link/ConnectionAccess.hpp"
#include "orvalis/Connection.hpp"
#include "workers/LinkRegistry.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char EndpointOut = 0x01;
constexpr unsigned char EndpointIn = 0x81;
constexpr unsigned TimeoutMs = 1000;
constexpr std::uint8_t Ping = 0xF3;        // header only: port 15, channel 3
constexpr std::uint8_t EchoHeader = 0x10;  // port 1, channel 0
constexpr std::uint8_t SafelinkBits = 0x0C;
constexpr std::uint8_t UpBit = 0x08;
constexpr std::uint8_t DownBit = 0x04;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// CPU seconds of the whole process, every thread's.
double processCpu() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

// One device opened on a libusb context of its own, interface 0 claimed.
struct BareDevice {
    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
    bool up = false;
    bool down = false;
    long exchanges = 0;

    ~BareDevice() {
        if (handle) {
            libusb_release_interface(handle, 0);
            libusb_close(handle);
        }
        if (context) {
            libusb_exit(context);
        }
    }

    bool open(const char* serial) {
        if (libusb_init(&context) != 0) {
            return false;
        }
        libusb_device** list = nullptr;
        ssize_t count = libusb_get_device_list(context, &list);
        for (ssize_t i = 0; i < count && !handle; ++i) {
            libusb_device_descriptor descriptor;
            libusb_device_handle* candidate = nullptr;
            if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
                libusb_open(list[i], &candidate) != 0) {
                continue;
            }
            unsigned char text[128] = {};
            int length = libusb_get_string_descriptor_ascii(candidate, descriptor.iSerialNumber,
                                                            text, sizeof text - 1);
            if (length > 0 && std::strcmp(reinterpret_cast<char*>(text), serial) == 0) {
                handle = candidate;
            } else {
                libusb_close(candidate);
            }
        }
        libusb_free_device_list(list, 1);
        return handle && libusb_claim_interface(handle, 0) == 0;
    }

    // One bulk OUT and its bulk IN; the IN's length, or -1 on failure.
    int exchange(const std::uint8_t* packet, int length, std::uint8_t* answer, int capacity) {
        ++exchanges;
        int transferred = 0;
        if (libusb_bulk_transfer(handle, EndpointOut, const_cast<std::uint8_t*>(packet), length,
                                 &transferred, TimeoutMs) != 0) {
            return -1;
        }
        if (libusb_bulk_transfer(handle, EndpointIn, answer, capacity, &transferred, TimeoutMs) !=
            0) {
            return -1;
        }
        return transferred;
    }

    // A radio transmission through the dongle: the acknowledgement's payload
    // length, or -1 when not acknowledged.
    int transmit(std::uint8_t* packet, int length, std::uint8_t* ack) {
        if (safelink()) {
            packet[0] = static_cast<std::uint8_t>((packet[0] & ~SafelinkBits) | (up ? UpBit : 0) |
                                                  (down ? DownBit : 0));
        }
        int got = exchange(packet, length, ack, 33);
        if (got < 1 || (ack[0] & 1) == 0) {
            return -1;
        }
        if (safelink()) {
            up = !up;
        }
        return got - 1;
    }

    bool safelinkOn = false;
    bool safelink() const { return safelinkOn; }
};

namespace {

// Seconds for `count` echoes through a connection of `registry`, after
// `warmup` unmeasured ones; `cpu`, when given, gets the process's CPU seconds
// for them.
double echoesThrough(quenfold::orvalis::LinkRegistry& registry, const char* uri, int count,
                     int warmup, double* cpu = nullptr) {
    using namespace quenfold::orvalis;
    Connection connection = ConnectionAccess::open(uri, registry);
    Clock::time_point started;
    double cpuStarted = 0;
    for (int i = 0; i < warmup + count; ++i) {
        if (i == warmup) {
            started = Clock::now();
            cpuStarted = processCpu();
        }
        Packet packet;
        packet.setPort(1);
        packet.setChannel(0);
        packet.setPayload(std::string("\x01\x02\x03") + char(i));
        connection.send(packet);
        // Only this packet's echo counts: a robot may still hold replies of
        // an earlier session.
        for (;;) {
            Packet reply = connection.recv(TimeoutMs);
            if (reply.payloadSize() == 4 && reply.payloadAt(3) == std::uint8_t(i)) {
                break;
            }
        }
    }
    double elapsed = seconds(started);
    if (cpu) {
        *cpu = processCpu() - cpuStarted;
    }
    connection.close();
    return elapsed;
}

}  // namespace

extern "C" {

BareDevice* bare_open(const char* serial) {
    auto device = std::make_unique<BareDevice>();
    return device->open(serial) ? device.release() : nullptr;
}

void bare_close(BareDevice* device) {
    std::unique_ptr<BareDevice> owned(device);
}

// The calling thread's timer slack, for measuring what it does to the bench.
int bare_timer_slack(unsigned long nanoseconds) {
    return prctl(PR_SET_TIMERSLACK, nanoseconds, 0, 0, 0);
}

long bare_exchanges(BareDevice* device) {
    return device->exchanges;
}

int bare_control(BareDevice* device, int request, int value) {
    return libusb_control_transfer(device->handle, 0x40, static_cast<std::uint8_t>(request),
                                   static_cast<std::uint16_t>(value), 0, nullptr, 0, TimeoutMs);
}

// `count` radio exchanges of a ping; seconds, or -1 on failure.
double bare_radio_exchanges(BareDevice* device, int count) {
    std::uint8_t ack[33];
    auto started = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::uint8_t ping = Ping;
        if (device->exchange(&ping, 1, ack, sizeof ack) < 0) {
            return -1;
        }
    }
    return seconds(started);
}

// Turns safelink on (the robot's handshake) for the echoes that follow.
int bare_safelink(BareDevice* device) {
    std::uint8_t enable[3] = {0xFF, 0x05, 0x01};
    std::uint8_t ack[33];
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (device->exchange(enable, 3, ack, sizeof ack) >= 1 && (ack[0] & 1) != 0) {
            device->safelinkOn = true;
            return 0;
        }
    }
    return -1;
}

// `count` echoes through the dongle: each packet goes until acknowledged,
// then pings fetch its echo, the fewest exchanges the protocol allows.
double bare_radio_echoes(BareDevice* device, int count) {
    std::uint8_t ack[33];
    auto started = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::uint8_t packet[5] = {EchoHeader, 1, 2, 3, static_cast<std::uint8_t>(i)};
        bool echoed = false;
        while (device->transmit(packet, sizeof packet, ack) < 0) {
        }
        for (int turn = 0; !echoed; ++turn) {
            if (turn > 1000) {
                return -1;
            }
            std::uint8_t ping = Ping;
            int got = device->transmit(&ping, 1, ack);
            if (got < 1) {
                continue;
            }
            bool fresh = !device->safelink() || ((ack[1] & DownBit) != 0) == device->down;
            if (device->safelink() && fresh) {
                device->down = !device->down;
            }
            echoed = fresh && got == 5 && ack[5] == packet[4];
        }
    }
    return seconds(started);
}

// `count` echoes over a cable: each packet written and its echo read.
double bare_cable_echoes(BareDevice* device, int count) {
    std::uint8_t reply[64];
    auto started = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::uint8_t packet[5] = {EchoHeader, 1, 2, 3, static_cast<std::uint8_t>(i)};
        if (device->exchange(packet, sizeof packet, reply, sizeof reply) != sizeof packet) {
            return -1;
        }
    }
    return seconds(started);
}

// `count` echoes through the C++ link library on a registry of its own.
double cpp_echoes(const char* uri, int count, int warmup) {
    using namespace quenfold::orvalis;
    try {
        LinkRegistry registry;
        return echoesThrough(registry, uri, count, warmup);
    } catch (const std::exception&) {
        return -1;
    }
}

// The same, with the process's CPU seconds for the measured echoes in `cpu`.
double cpp_echoes_cpu(const char* uri, int count, int warmup, double* cpu) {
    using namespace quenfold::orvalis;
    try {
        LinkRegistry registry;
        return echoesThrough(registry, uri, count, warmup, cpu);
    } catch (const std::exception&) {
        return -1;
    }
}

// The same, with the registry's workers recording to a capture file at
// `path`; `dropped` gets the records that the capture's buffer dropped.
double cpp_captured_echoes(const char* uri, int count, int warmup, const char* path,
                           std::uint64_t* dropped) {
    using namespace quenfold::orvalis;
    try {
        auto file = capture::CaptureFile::open(path);
        if (!file) {
            return -1;
        }
        capture::CaptureFile& capture = *file;
        LinkRegistry registry(std::move(file));
        double elapsed = echoesThrough(registry, uri, count, warmup);
        *dropped = capture.droppedCount();
        return elapsed;
    } catch (const std::exception&) {
        return -1;
    }
}

}  // extern "C"
