// What a scan costs with one dongle and with two, on the emulated bench: USB
// operations against the fewest a scan can make, and time. The two sides run
// interleaved, round after round; times are the best of the rounds.
//
//   scan_bench [ROUNDS] [hardware]   (runs under the umockdev preload; default 5
//                                    rounds, paced as fast as the bench can)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ScanOperations.hpp"

using quenfold::orvalis::bench::fewestScanOperations;
using quenfold::orvalis::bench::measureScan;
using quenfold::orvalis::bench::ScanOperations;

namespace {

std::string perDongle(const ScanOperations& scan) {
    std::string text;
    for (std::size_t exchanges : scan.exchangesPerDongle) {
        text += (text.empty() ? "" : "/") + std::to_string(exchanges);
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const bool hardware = argc > 2 && std::strcmp(argv[2], "hardware") == 0;
    const quenfold::orvalis::emu::Pacing pacing = hardware
                                                      ? quenfold::orvalis::emu::Pacing::hardware()
                                                      : quenfold::orvalis::emu::Pacing::fast();
    double best[3] = {0, 1e9, 1e9};
    std::printf("%-6s %-8s %10s %10s %8s %6s %8s %12s %8s %8s  %s\n", "round", "dongles",
                "exchanges", "control", "channel", "rate", "openings", "per dongle", "seconds",
                "cpu s", "found");
    for (int round = 1; round <= rounds; ++round) {
        for (std::size_t dongles : {1, 2}) {
            ScanOperations scan = measureScan(dongles, pacing);
            best[dongles] = std::min(best[dongles], scan.seconds);
            std::string found;
            for (const std::string& uri : scan.found) {
                found += uri + " ";
            }
            std::printf("%-6d %-8zu %10zu %10zu %8zu %6zu %8zu %12s %8.3f %8.3f  %s\n", round,
                        dongles, scan.exchanges, scan.controlRequests, scan.channelRequests,
                        scan.datarateRequests, scan.openings, perDongle(scan).c_str(), scan.seconds,
                        scan.cpuSeconds, found.c_str());
        }
    }
    for (std::size_t dongles : {1, 2}) {
        ScanOperations fewest = fewestScanOperations(dongles);
        std::printf("fewest %-8zu %10zu %10zu %8zu %6zu %8zu\n", dongles, fewest.exchanges,
                    fewest.controlRequests, fewest.channelRequests, fewest.datarateRequests,
                    fewest.openings);
    }
    std::printf("best of %d rounds: one dongle %.3f s, two dongles %.3f s, ratio %.2f\n", rounds,
                best[1], best[2], best[2] / best[1]);
    return 0;
}
