#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Found beside this header, in the tree and where it is installed
// (include/orvalis/); nothing of the workers or drivers is included.
#include "ConnectionStatistics.hpp"
#include "Packet.hpp"

namespace quenfold::orvalis {

struct ConnectionImpl;
class ConnectionAccess;
class LinkRegistry;

// The host's handle of one link to one robot, opened from a URI such as
// "radio://0/80/2M/E7E7E7E7E7" or "usb://0". Closing it, or destroying it,
// takes the link away from the device that served it.
//
// A connection belongs to the process that opened it. In a child of fork()
// an inherited one fails at every use but close(), which does nothing there,
// as its destruction does: the link stays the parent's.
class Connection {
  public:
    using Statistics = ConnectionStatistics;

    explicit Connection(const std::string& uri);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void close();
    // Stamps the caller's packet with its sequence number and queues a copy.
    void send(Packet& packet);
    // The next received packet, waiting up to timeoutMs (0: without limit);
    // the empty packet when the time runs out.
    Packet recv(std::uint32_t timeoutMs);
    Statistics statistics() const;
    const std::string& uri() const noexcept;
    std::string toString() const;

    // The reachable robots: those on a cable, then the radio channels and
    // data rates on which a robot answers at the given address.
    static std::vector<std::string> scan(std::uint64_t address);
    // The given URIs on which a robot answers, in the given order.
    static std::vector<std::string> scan_selected(const std::vector<std::string>& uris);

  private:
    // The library's own code reaches further (ConnectionAccess).
    friend class ConnectionAccess;
    Connection(const std::string& uri, LinkRegistry* registry);
    LinkRegistry& linkRegistry();
    // Whether the connection was opened before a fork() that made this
    // process: its worker and registry stayed with the parent.
    bool inherited() const noexcept;
    // Throws, changing nothing, for a connection inherited from the parent.
    void refuseInherited() const;

    std::shared_ptr<ConnectionImpl> impl;
    LinkRegistry* registry;  // null until a URI needs the process-wide one
    unsigned forkGeneration;  // of the process that opened it
};

}  // namespace quenfold::orvalis
