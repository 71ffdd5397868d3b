#include "orvalis/Connection.hpp"

#include "link/Scanner.hpp"
#include "link/UriParsing.hpp"
#include "workers/ConnectionImpl.hpp"
#include "workers/LinkError.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {

Connection::Connection(const std::string& uri) : Connection(uri, nullptr) {}

// The process-wide registry is made only once a URI needs it: a malformed
// one fails without touching USB.
Connection::Connection(const std::string& uri, LinkRegistry* registry)
    : registry(registry), forkGeneration(LinkRegistry::forkGeneration()) {
    impl = std::make_shared<ConnectionImpl>(parseLinkSettings(
        uri, [this](std::int32_t id) { return linkRegistry().findRobot(id); }));
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
        throw InheritedConnection("Connection " + impl->settings.uri +
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
    impl->queues.pushSend(packet);
}

Packet Connection::recv(std::uint32_t timeoutMs) {
    refuseInherited();
    return impl->queues.popReceived(timeoutMs);
}

const std::string& Connection::uri() const noexcept {
    return impl->settings.uri;
}

std::string Connection::toString() const {
    return "Connection(" + impl->settings.uri + ")";
}

Connection::Statistics Connection::statistics() const {
    refuseInherited();
    return impl->queues.statistics();
}

std::vector<std::string> Connection::scan(std::uint64_t address) {
    return Scanner(LinkRegistry::instance()).scan(address);
}

std::vector<std::string> Connection::scan_selected(const std::vector<std::string>& uris) {
    return Scanner(LinkRegistry::instance()).scanSelected(uris);
}

}  // namespace quenfold::orvalis
