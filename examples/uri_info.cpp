// Prints how connection URIs given on the command line are understood.
#include <cstdio>
#include <exception>

#include "link/ConnectionImpl.hpp"

using quenfold::orvalis::ConnectionImpl;
using quenfold::orvalis::RobotPresence;

int main(int argc, char** argv) {
    // Without the link registry, pretend that two robots are attached by cable.
    auto twoRobots = [](std::int32_t id) { return RobotPresence{id >= 0 && id < 2, 2}; };
    for (int i = 1; i < argc; ++i) {
        ConnectionImpl state;
        try {
            state.parse(argv[i], twoRobots);
        } catch (const std::exception& error) {
            std::printf("%-45s refused: %s\n", argv[i], error.what());
            continue;
        }
        if (!state.isRadio) {
            std::printf("%-45s robot on a cable, index %d\n", argv[i], state.deviceId.load());
            continue;
        }
        static const char* const rates[] = {"250K", "1M", "2M"};
        std::printf(
            "%-45s dongle %d, channel %d, %s, address %010llX, safelink=%d autoping=%d "
            "ackfilter=%d\n",
            argv[i], state.deviceId.load(), state.channel, rates[state.datarate],
            static_cast<unsigned long long>(state.address), state.safelink, state.autoping,
            state.ackfilter);
    }
    return 0;
}
