// What the link workers cost while there is little or nothing to do, on the
// emulated bench:
// - the CPU time of the whole process (bench included) per second of wall
//   time while one connection of each kind sits open and idle, against the
//   bench alone;
// - the time from a send on an idle plain radio connection to the end of the
//   packet's first exchange, best of several rounds of medians.
//
//   worker_cost_bench [--seconds S] [--rounds R] [--sends N]
//   (under the umockdev preload; `make bench-workers` runs it)
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emu/Bench.hpp"
#include "link/ConnectionAccess.hpp"
#include "orvalis/Connection.hpp"
#include "workers/LinkRegistry.hpp"
#include "workers/RadioTurn.hpp"

namespace {

using namespace quenfold::orvalis;
using Clock = std::chrono::steady_clock;

struct Options {
    double seconds = 5;
    int rounds = 5;
    int sends = 50;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            options.seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--rounds") == 0) {
            options.rounds = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--sends") == 0) {
            options.sends = std::atoi(argv[i + 1]);
        }
    }
    return options;
}

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Percent of one core that the process used while `seconds` went by.
double cpuPercentOver(double seconds) {
    double cpuBefore = processCpuSeconds();
    auto wallBefore = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    return 100.0 * (processCpuSeconds() - cpuBefore) / wall;
}

double idlePercent(LinkRegistry& registry, const char* uri, double seconds) {
    Connection connection = ConnectionAccess::open(uri, registry);
    // Past the opening and the first turns.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double percent = cpuPercentOver(seconds);
    connection.close();
    return percent;
}

// The end of the first exchange after a send, stamped by the worker.
struct FirstExchange {
    std::mutex mutex;
    std::condition_variable done;
    bool armed = false;
    Clock::time_point at;
};
FirstExchange firstExchange;

void stampExchange(ConnectionImpl&) {
    auto now = Clock::now();
    std::lock_guard<std::mutex> lock(firstExchange.mutex);
    if (firstExchange.armed) {
        firstExchange.armed = false;
        firstExchange.at = now;
        firstExchange.done.notify_all();
    }
}

// Median microseconds from send to the end of the packet's first exchange,
// each send made on an idle connection.
double sendToExchange(Connection& connection, int sends) {
    std::vector<double> samples;
    Packet packet;
    packet.setPort(1);
    packet.setPayload("\x01\x02");
    for (int i = 0; i < sends; ++i) {
        {
            std::lock_guard<std::mutex> lock(firstExchange.mutex);
            firstExchange.armed = true;
        }
        auto sent = Clock::now();
        connection.send(packet);
        std::unique_lock<std::mutex> lock(firstExchange.mutex);
        firstExchange.done.wait(lock, [] { return !firstExchange.armed; });
        samples.push_back(
            std::chrono::duration<double, std::micro>(firstExchange.at - sent).count());
        lock.unlock();
        while (connection.recv(1000).valid()) {  // the acknowledgement, echoes
        }
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parse(argc, argv);
    emu::Bench bench;
    bench.addDongle("BENCH0");
    bench.addUSBRobot("BENCHR0");
    bench.addRadioRobot(80, 2);
    LinkRegistry registry;

    std::printf("idle CPU of the process over %.0f s, %% of one core:\n", options.seconds);
    std::printf("  bench alone                          %6.1f\n", cpuPercentOver(options.seconds));
    const char* idle[] = {"radio://0/80/2M/E7E7E7E7E7?safelink=0&autoping=0",
                          "radio://0/80/2M/E7E7E7E7E7?safelink=0", "radio://0/80/2M/E7E7E7E7E7",
                          "usb://0"};
    for (const char* uri : idle) {
        std::printf("  %-52s %6.1f\n", uri, idlePercent(registry, uri, options.seconds));
    }

    setExchangeHook(&stampExchange);
    Connection connection = ConnectionAccess::open(
        "radio://0/80/2M/E7E7E7E7E7?safelink=0&autoping=0&ackfilter=0", registry);
    std::vector<double> medians;
    for (int round = 0; round < options.rounds; ++round) {
        medians.push_back(sendToExchange(connection, options.sends));
    }
    setExchangeHook(nullptr);
    std::printf(
        "send to end of first exchange, idle plain radio, us: best %.0f, worst %.0f"
        " (medians of %d sends, %d rounds)\n",
        *std::min_element(medians.begin(), medians.end()),
        *std::max_element(medians.begin(), medians.end()), options.sends, options.rounds);
    return 0;
}
