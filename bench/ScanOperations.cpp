#include "ScanOperations.hpp"

#include <sys/resource.h>

#include <chrono>

#include "emu/Bench.hpp"
#include "link/Scanner.hpp"
#include "usb/SkelderRequests.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis::bench {
namespace {

constexpr std::size_t Probes = 3 * 125;
constexpr std::size_t Datarates = 3;
// Opening a dongle: data rate, channel, 0x20, address, 0x04, 0x06, 0x05, enable.
constexpr std::size_t OpeningRequests = 8;
constexpr std::uint64_t Address = 0xE7E7E7E7E7;

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

ScanOperations measureScan(std::size_t dongles, const emu::Pacing& pacing) {
    emu::Bench bench;
    bench.setPacing(pacing);
    std::vector<emu::Dongle*> added;
    for (std::size_t i = 0; i < dongles; ++i) {
        added.push_back(&bench.addDongle("SCAN" + std::to_string(i)));
    }
    bench.addRadioRobot(80, 2, Address);
    // Made after the bench, destroyed before it.
    LinkRegistry registry;

    ScanOperations result;
    result.dongles = dongles;
    auto started = std::chrono::steady_clock::now();
    const double cpuStarted = processCpuSeconds();
    result.found = Scanner(registry).scan(Address);
    result.cpuSeconds = processCpuSeconds() - cpuStarted;
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    for (emu::Dongle* dongle : added) {
        std::size_t exchanges = dongle->bulkOutLog().size();
        result.exchangesPerDongle.push_back(exchanges);
        result.exchanges += exchanges;
        for (const emu::ControlRecord& request : dongle->controlLog()) {
            ++result.controlRequests;
            result.channelRequests += request.request == skelder::SetChannel ? 1 : 0;
            result.datarateRequests += request.request == skelder::SetDatarate ? 1 : 0;
            // Setup20 is sent once each time a dongle is opened, and never otherwise.
            result.openings += request.request == skelder::Setup20 ? 1 : 0;
        }
    }
    return result;
}

ScanOperations fewestScanOperations(std::size_t dongles) {
    ScanOperations fewest;
    fewest.dongles = dongles;
    fewest.exchanges = Probes;
    fewest.channelRequests = Probes;
    fewest.datarateRequests = dongles * Datarates;
    fewest.openings = dongles;
    fewest.controlRequests = Probes + dongles * (Datarates + OpeningRequests);
    return fewest;
}

}  // namespace quenfold::orvalis::bench
