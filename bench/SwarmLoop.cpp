// A swarm through the C++ link library, for bench/swarm.py (loaded with
// ctypes, in the process that the launcher starts beside the devices): many
// connections opened on one registry, each echoing from a thread of its own
// as a lab's program would, and what the library's process holds meanwhile.
#include <dirent.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Clocks.hpp"
#include "link/ConnectionAccess.hpp"
#include "orvalis/Connection.hpp"
#include "workers/LinkRegistry.hpp"

namespace {

using namespace quenfold::orvalis::bench;
constexpr unsigned TimeoutMs = 1000;

int entries(const char* folder) {
    int count = 0;
    if (DIR* dir = opendir(folder)) {
        while (dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
}

long residentKiB() {
    long kib = 0;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            if (std::sscanf(line, "VmRSS: %ld", &kib) == 1) {
                break;
            }
        }
        std::fclose(status);
    }
    return kib;
}

// Echoes until `stop`, or once when `once`.
void echoLoop(quenfold::orvalis::Connection& connection, int index,
              const std::atomic<bool>& stop, long& echoes, bool once = false);

// Echoes through `connection` until `stop`; the echoes made. A failing
// connection stops early, and says so.
long echoUntil(quenfold::orvalis::Connection& connection, int index,
               const std::atomic<bool>& stop) {
    using namespace quenfold::orvalis;
    long echoes = 0;
    try {
        echoLoop(connection, index, stop, echoes);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "swarm: connection %d: %s\n", index, error.what());
    }
    return echoes;
}

void echoLoop(quenfold::orvalis::Connection& connection, int index,
              const std::atomic<bool>& stop, long& echoes, bool once) {
    using namespace quenfold::orvalis;
    while (once || !stop.load(std::memory_order_relaxed)) {
        once = false;
        Packet packet;
        packet.setPort(1);
        packet.setChannel(0);
        std::uint8_t tag = static_cast<std::uint8_t>(echoes);
        packet.setPayload(std::string{char(index), char(index >> 8), char(tag)});
        connection.send(packet);
        for (int waited = 0; waited < 5; ++waited) {
            Packet reply = connection.recv(TimeoutMs);
            if (reply.payloadSize() == 3 && reply.payloadAt(2) == tag) {
                ++echoes;
                break;
            }
        }
    }
}

}  // namespace

extern "C" {

// Opens `count` connections, echoes through all of them at once for
// `duration` seconds, closes them. `echoes` gets each connection's echoes;
// `figures`: seconds to open all (made, and one echo through each), seconds
// to close all, CPU seconds of the process while echoing, and in the middle of
// it threads (the echoing ones not counted), open files and resident KiB;
// last, CPU seconds of the parent process (the launcher's, where the devices
// answer) while echoing, -1 if unknown.
// Returns 0, or -1 when a connection could not be opened.
// A connection of the swarm, on the swarm's own registry (a Connection is
// neither copied nor moved, so it is made in place).
struct SwarmConnection {
    quenfold::orvalis::Connection connection;
    SwarmConnection(const char* uri, quenfold::orvalis::LinkRegistry& registry)
        : connection(quenfold::orvalis::ConnectionAccess::open(uri, registry)) {}
};

int swarm_run(const char** uris, int count, double duration, long* echoes, double* figures) {
    using namespace quenfold::orvalis;
    try {
        LinkRegistry registry;
        std::vector<std::unique_ptr<SwarmConnection>> connections;
        // Open: made, and one echo through each, one after the other.
        auto started = Clock::now();
        std::atomic<bool> stop{true};
        for (int i = 0; i < count; ++i) {
            connections.push_back(std::make_unique<SwarmConnection>(uris[i], registry));
            long warm = 0;
            echoLoop(connections.back()->connection, i, stop, warm, true);
        }
        figures[0] = seconds(started);

        stop = false;
        std::vector<std::thread> threads;
        double cpu = processCpu();
        const double devicesCpu = processCpu(getppid());
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([&, i] { echoes[i] = echoUntil(connections[i]->connection, i, stop); });
        }
        // What the process holds in the middle of it, the echoing threads
        // not counted.
        std::this_thread::sleep_for(std::chrono::duration<double>(duration / 2));
        figures[3] = entries("/proc/self/task") - count;
        figures[4] = entries("/proc/self/fd");
        figures[5] = static_cast<double>(residentKiB());
        std::this_thread::sleep_for(std::chrono::duration<double>(duration / 2));
        stop = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
        figures[2] = processCpu() - cpu;
        const double devicesCpuAfter = processCpu(getppid());
        figures[6] = devicesCpu < 0 || devicesCpuAfter < 0 ? -1 : devicesCpuAfter - devicesCpu;

        started = Clock::now();
        for (auto& connection : connections) {
            connection->connection.close();
        }
        connections.clear();
        figures[1] = seconds(started);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "swarm: %s\n", error.what());
        return -1;
    }
}

}  // extern "C"
