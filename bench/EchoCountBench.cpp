// Radio echoes through the C++ link library against the bare libusb loop, on
// an emulated bench in this process, pinned like the Python benchmark.
//
//   echo_count_bench both [ROUNDS] [ECHOES]   best of interleaved rounds, and the ratio
//   echo_count_bench stream [PACKETS]         radio exchanges per packet sent back to back
//   echo_count_bench cpp|bare [ECHOES]        only that side, for strace -c or perf stat:
//                                             the difference between two counts of
//                                             echoes is what the echoes cost
//
// Runs under the umockdev preload, like the other bench programs.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emu/Bench.hpp"
#include "link/ConnectionAccess.hpp"
#include "orvalis/Connection.hpp"
#include "workers/LinkRegistry.hpp"

struct BareDevice;
extern "C" {
BareDevice* bare_open(const char* serial);
void bare_close(BareDevice* device);
int bare_control(BareDevice* device, int request, int value);
double bare_radio_echoes(BareDevice* device, int count);
double cpp_echoes(const char* uri, int count, int warmup);
}

namespace {

constexpr const char* Uri = "radio://0/80/2M/E7E7E7E7E7?safelink=0";
constexpr int Channel = 80;
constexpr int SetChannel = 0x01;

double bareEchoes(int count) {
    BareDevice* device = bare_open("BENCH0");
    if (device == nullptr) {
        return -1;
    }
    double elapsed = -1;
    if (bare_control(device, SetChannel, Channel) >= 0 && bare_radio_echoes(device, 5) >= 0) {
        elapsed = bare_radio_echoes(device, count);
    }
    bare_close(device);
    return elapsed;
}

// A sender that never waits for replies: every exchange could carry one of
// its packets, so pings in between are exchanges lost to it.
double exchangesPerStreamedPacket(int count) {
    using namespace quenfold::orvalis;
    LinkRegistry registry;
    Connection connection = ConnectionAccess::open(Uri, registry);
    // Pings begin once the worker serves the connection.
    while (connection.statistics().sent_count == 0) {
        connection.recv(1);
    }
    auto sentBefore = connection.statistics().sent_count;
    for (int i = 0; i < count; ++i) {
        Packet packet;
        packet.setPort(1);
        packet.setPayload("\x01");
        connection.send(packet);
    }
    double exchanges = double(connection.statistics().sent_count - sentBefore);
    connection.close();
    return exchanges / count;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "both";
    quenfold::orvalis::emu::Bench bench;
    quenfold::orvalis::emu::Dongle& dongle = bench.addDongle("BENCH0");
    bench.addRadioRobot(Channel, 2);
    if (mode == "both") {
        int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
        int echoes = argc > 3 ? std::atoi(argv[3]) : 100;
        double bare = 1e9;
        double cpp = 1e9;
        double mostExchanges = 0;
        for (int round = 0; round < rounds; ++round) {
            double b = bareEchoes(echoes);
            std::size_t before = dongle.bulkOutLog().size();
            double c = cpp_echoes(Uri, echoes, 5);
            if (b < 0 || c < 0) {
                return EXIT_FAILURE;
            }
            bare = std::min(bare, b);
            cpp = std::min(cpp, c);
            // The warm-up echoes and the connection's first pings included.
            mostExchanges =
                std::max(mostExchanges, double(dongle.bulkOutLog().size() - before) / (echoes + 5));
        }
        std::printf(
            "bare %.0f us, C++ %.0f us per echo, ratio %.3f (best of %d rounds of %d); "
            "C++ exchanges per echo, worst round %.2f\n",
            bare / echoes * 1e6, cpp / echoes * 1e6, cpp / bare, rounds, echoes, mostExchanges);
        return EXIT_SUCCESS;
    }
    if (mode == "stream") {
        int packets = argc > 2 ? std::atoi(argv[2]) : 1000;
        std::printf("%.2f radio exchanges per packet streamed\n",
                    exchangesPerStreamedPacket(packets));
        return EXIT_SUCCESS;
    }
    int echoes = argc > 2 ? std::atoi(argv[2]) : 1000;
    double elapsed = mode == "cpp" ? cpp_echoes(Uri, echoes, 5) : bareEchoes(echoes);
    return elapsed < 0 ? EXIT_FAILURE : EXIT_SUCCESS;
}
