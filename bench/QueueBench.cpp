// Cost of moving packets through a connection's queues, and a check that the
// queues stop allocating once they have grown.
//
//   make bench
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "AllocationCount.hpp"
#include "workers/ConnectionQueues.hpp"

using quenfold::orvalis::ConnectionQueues;
using quenfold::orvalis::Packet;

int main() {
    constexpr int Depth = 64;
    constexpr int Rounds = 200000;
    ConnectionQueues connection;
    Packet packet;
    packet.setPayload("\x01\x02\x03\x04\x05\x06\x07\x08");

    // Warm up: the heaps grow to the depth used below.
    for (int i = 0; i < Depth; ++i) {
        packet.setPort(static_cast<std::uint8_t>(i % 16));
        connection.pushSend(packet);
        connection.pushReceived(packet);
    }
    while (connection.popSend()) {
        connection.popReceived(1);
    }

    long before = quenfold::orvalis::bench::allocationCount();
    auto started = std::chrono::steady_clock::now();
    for (int round = 0; round < Rounds; ++round) {
        for (int i = 0; i < Depth; ++i) {
            packet.setPort(static_cast<std::uint8_t>(i % 16));
            connection.pushSend(packet);
        }
        for (int i = 0; i < Depth; ++i) {
            connection.popSend();
        }
        if (round % 64 == 0) {
            connection.pushReceived(packet);
            connection.popReceived(1);
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    long steadyAllocations = quenfold::orvalis::bench::allocationCount() - before;

    std::printf("send queue: %.1f ns per packet in and out (depth %d)\n",
                seconds * 1e9 / (double(Rounds) * Depth), Depth);
    std::printf("allocations in steady state: %ld\n", steadyAllocations);
    return steadyAllocations == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
