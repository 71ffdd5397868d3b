#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "emu/Pacing.hpp"

namespace quenfold::orvalis::bench {

// What one scan costs the dongles, on a fresh emulated bench with the given
// number of dongles and one robot answering on channel 80 at 2M.
struct ScanOperations {
    std::size_t dongles = 0;
    // Bulk OUT + IN pairs: every packet the dongles put on the air.
    std::size_t exchanges = 0;
    // Vendor control requests: opening a dongle, retuning it. Of them, the
    // channel and data-rate requests, and the number of times a dongle was
    // opened.
    std::size_t controlRequests = 0;
    std::size_t channelRequests = 0;
    std::size_t datarateRequests = 0;
    std::size_t openings = 0;
    // Exchanges made by each dongle, in the order they were added.
    std::vector<std::size_t> exchangesPerDongle;
    double seconds = 0;
    // CPU time of the whole process (the bench's thread included) meanwhile.
    double cpuSeconds = 0;
    std::vector<std::string> found;
};

// Needs the process to run under the umockdev preload.
ScanOperations measureScan(std::size_t dongles, const emu::Pacing& pacing = emu::Pacing::fast());

// The fewest operations a scan of every channel at every data rate can make
// with that many dongles: one exchange per probe; a channel request per probe,
// a data-rate request per rate and the opening requests for each dongle.
ScanOperations fewestScanOperations(std::size_t dongles);

}  // namespace quenfold::orvalis::bench
