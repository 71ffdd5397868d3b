#include "link/Connection.hpp"

#include <stdexcept>

#include "link/ConnectionImpl.hpp"
#include "link/Scanner.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {

Connection::Connection(const std::string& uri) : Connection(uri, nullptr) {}

Connection::Connection(const std::string& uri, LinkRegistry& registry)
    : Connection(uri, &registry) {}

// The process-wide registry is made only once a URI needs it: a malformed
// one fails without touching USB.
Connection::Connection(const std::string& uri, LinkRegistry* registry)
    : impl(std::make_shared<ConnectionImpl>()),
      registry(registry),
      forkGeneration(LinkRegistry::forkGeneration()) {
    impl->parse(uri, [this](std::int32_t id) { return linkRegistry().findRobot(id); });
    linkRegistry().attachConnection(impl);
}

LinkRegistry& Connection::linkRegistry() {
    if (registry == nullptr) {
        registry = &LinkRegistry::instance();
    }
    return *registry;
}

Connection::~Connection() {
    try {
        close();
    } catch (...) {
        // The device that served the connection is gone; nothing is left to undo.
    }
}

bool Connection::inherited() const noexcept {
    return forkGeneration != LinkRegistry::forkGeneration();
}

void Connection::refuseInherited() const {
    if (inherited()) {
        throw std::runtime_error("Connection " + impl->uri +
                                 " belongs to the parent process: a connection cannot be used "
                                 "after fork(); open a new one in this process.");
    }
}

void Connection::close() {
    // The parent's connection, and the locks its threads may have held at the
    // fork, stay the parent's.
    if (!inherited() && impl->deviceId >= 0) {
        registry->detachConnection(impl);
    }
}

void Connection::send(Packet& packet) {
    refuseInherited();
    impl->pushSend(packet);
}

Packet Connection::recv(std::uint32_t timeoutMs) {
    refuseInherited();
    return impl->popReceived(timeoutMs);
}

std::optional<Packet> Connection::recvUntil(std::chrono::steady_clock::time_point until,
                                            bool endOnClose) {
    refuseInherited();
    return impl->takeReceived(until, endOnClose);
}

bool Connection::awaitFirstExchange(std::chrono::steady_clock::time_point until) {
    refuseInherited();
    return impl->awaitFirstExchange(until);
}

const std::string& Connection::uri() const noexcept {
    return impl->uri;
}

std::string Connection::toString() const {
    return "Connection(" + impl->uri + ")";
}

Connection::Statistics Connection::statistics() const {
    refuseInherited();
    {
        std::lock_guard<std::mutex> lock(impl->sendQueueMutex);
        impl->throwIfFailed();
    }
    return impl->statistics.snapshot();
}

std::vector<std::string> Connection::scan(std::uint64_t address) {
    return Scanner(LinkRegistry::instance()).scan(address);
}

std::vector<std::string> Connection::scan_selected(const std::vector<std::string>& uris) {
    return Scanner(LinkRegistry::instance()).scanSelected(uris);
}

}  // namespace quenfold::orvalis
