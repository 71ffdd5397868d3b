// Cost of moving packets through a connection's queues, and a check that the
// queues stop allocating once they have grown.
//
//   make bench
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "link/ConnectionImpl.hpp"

namespace {

std::atomic<long> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

using quenfold::orvalis::ConnectionImpl;
using quenfold::orvalis::Packet;

int main() {
    constexpr int Depth = 64;
    constexpr int Rounds = 200000;
    ConnectionImpl connection;
    Packet packet;
    packet.setPayload("\x01\x02\x03\x04\x05\x06\x07\x08");

    // Warm up: the heaps grow to the depth used below.
    for (int i = 0; i < Depth; ++i) {
        packet.setPort(static_cast<std::uint8_t>(i % 16));
        connection.pushSend(packet);
        connection.pushReceived(packet);
    }
    while (!connection.sendQueue.empty()) {
        connection.sendQueue.pop();
        connection.popReceived(1);
    }

    long before = allocations.load();
    auto started = std::chrono::steady_clock::now();
    for (int round = 0; round < Rounds; ++round) {
        for (int i = 0; i < Depth; ++i) {
            packet.setPort(static_cast<std::uint8_t>(i % 16));
            connection.pushSend(packet);
        }
        for (int i = 0; i < Depth; ++i) {
            connection.sendQueue.pop();
        }
        if (round % 64 == 0) {
            connection.pushReceived(packet);
            connection.popReceived(1);
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    long steadyAllocations = allocations.load() - before;

    std::printf("send queue: %.1f ns per packet in and out (depth %d)\n",
                seconds * 1e9 / (double(Rounds) * Depth), Depth);
    std::printf("allocations in steady state: %ld\n", steadyAllocations);
    return steadyAllocations == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
