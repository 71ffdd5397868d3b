#pragma once

#include <chrono>

namespace quenfold::orvalis::emu {

// How long the emulated devices take for what real ones need time for. By
// default they answer as fast as the bench can; paced like hardware, a radio
// exchange (bulk OUT and the bulk IN of its answer) takes at least the air
// time of the dongle's data rate, and a control request about a full-speed
// control transfer's time. Each device keeps its own time: one device's
// pace never delays another.
struct Pacing {
    using Duration = std::chrono::nanoseconds;

    // Indexed by data rate code: 0 = 250K, 1 = 1M, 2 = 2M.
    Duration exchange[3] = {};
    Duration control{};

    static Pacing fast() { return {}; }
    // An exchange: a packet of up to 32 bytes, its acknowledgement with as
    // many, the radio's settling times and the dongle's turnaround. A control
    // request: its setup, data and status stages within one 1 ms frame.
    static Pacing hardware() {
        using std::chrono::microseconds;
        return {{microseconds(2900), microseconds(920), microseconds(590)}, microseconds(1000)};
    }
    bool paced() const { return control.count() > 0 || exchange[0].count() > 0; }
};

}  // namespace quenfold::orvalis::emu
