// The two clocks the bench's loops read: wall time since a start, and the CPU
// seconds of the whole process (every thread's), for CPU per echo.
#pragma once

#include <time.h>

#include <chrono>

namespace quenfold::orvalis::bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

inline double processCpu() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace quenfold::orvalis::bench
