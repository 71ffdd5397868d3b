#pragma once

// What the library's own code, its bindings and its tests reach in a
// Connection beyond the public API: a connection on a registry of the
// caller's, and the waits a scan probe and the Python module build on.
#include <chrono>
#include <optional>
#include <string>

#include "orvalis/Connection.hpp"
#include "workers/ConnectionImpl.hpp"

namespace quenfold::orvalis {

class ConnectionAccess {
  public:
    // A connection on the given registry instead of the process-wide one.
    static Connection open(const std::string& uri, LinkRegistry& registry) {
        return Connection(uri, &registry);
    }

    // One bounded part of a longer wait; see ConnectionQueues::takeReceived.
    static std::optional<Packet> recvUntil(Connection& connection,
                                           std::chrono::steady_clock::time_point until,
                                           bool endOnClose) {
        connection.refuseInherited();
        return connection.impl->queues.takeReceived(until, endOnClose);
    }

    // Waits until the first radio exchange of the connection has finished,
    // it has failed or been closed, or `until` has passed; returns whether the
    // exchange has finished. Whatever it brought is then waiting to be received.
    static bool awaitFirstExchange(Connection& connection,
                                   std::chrono::steady_clock::time_point until) {
        connection.refuseInherited();
        return connection.impl->queues.awaitFirstExchange(until);
    }
};

}  // namespace quenfold::orvalis
