// Finds the reachable Korvane robots and sends each one packet that its
// firmware echoes; prints the reply and the connection's statistics.
// Exits 0 when every robot found answered, 1 when one did not or none was
// found, 2 on a failure.
#include <orvalis/Connection.hpp>

#include <cstdint>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

using quenfold::orvalis::Connection;
using quenfold::orvalis::Packet;

namespace {

constexpr std::uint64_t DefaultAddress = 0xE7E7E7E7E7;
constexpr std::uint8_t EchoPort = 1;
constexpr std::uint32_t ReplyTimeoutMs = 1000;
constexpr int Attempts = 5;

// One packet out, and the robot's echo of it, skipping other traffic.
bool echo(Connection& connection) {
    Packet packet;
    packet.setPort(EchoPort);
    packet.setChannel(0);
    packet.setPayload("\x01\x02\x03");
    connection.send(packet);
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        Packet reply = connection.recv(ReplyTimeoutMs);
        if (reply.valid() && reply.port() == EchoPort) {
            std::cout << "  reply " << reply.toString() << "\n";
            return reply.payload() == packet.payload();
        }
    }
    std::cout << "  no reply\n";
    return false;
}

}  // namespace

int main() {
    try {
        std::vector<std::string> found = Connection::scan(DefaultAddress);
        std::cout << "found " << found.size() << "\n";
        bool allAnswered = !found.empty();
        for (const std::string& uri : found) {
            std::cout << uri << "\n";
            Connection connection(uri);
            allAnswered = echo(connection) && allAnswered;
            std::cout << "  " << connection.statistics().toString() << "\n";
            connection.close();
        }
        return allAnswered ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "orvalis_echo: " << error.what() << "\n";
        return 2;
    }
}
