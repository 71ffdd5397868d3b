// The clocks the bench's loops read: wall time since a start, and the CPU
// seconds of the whole process (every thread's), or of another one, for CPU
// per echo.
#pragma once

#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

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

// CPU seconds of process `pid` (user and system, every thread's), from
// /proc; -1 when it cannot be read. For the devices' process beside the
// library's, whose CPU is the emulation's and not the library's.
inline double processCpu(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* stat = std::fopen(path, "r");
    if (stat == nullptr) {
        return -1;
    }
    // The command's name, in parentheses, may hold spaces: fields count from
    // its closing one. utime and stime are the 14th and 15th fields.
    char line[1024];
    const bool read = std::fgets(line, sizeof line, stat) != nullptr;
    std::fclose(stat);
    const char* rest = read ? std::strrchr(line, ')') : nullptr;
    unsigned long user = 0;
    unsigned long system = 0;
    if (rest == nullptr ||
        std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                    &system) != 2) {
        return -1;
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace quenfold::orvalis::bench
