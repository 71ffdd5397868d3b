#include "orvalis/Connection.hpp"

#include "link/Scanner.hpp"
#include "link/UriParsing.hpp"
#include "workers/ConnectionImpl.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {

Connection::Connection(const std::string& uri) : Connection(uri, nullptr) {}

// The process-wide registry is made only once a URI needs it: a malformed
// one fails without touching USB.
Connection::Connection(const std::string& uri, LinkRegistry* registry) : registry(registry) {
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

void Connection::close() {
    if (impl->deviceId >= 0) {
        registry->detachConnection(impl);
    }
}

void Connection::send(Packet& packet) {
    impl->queues.pushSend(packet);
}

Packet Connection::recv(std::uint32_t timeoutMs) {
    return impl->queues.popReceived(timeoutMs);
}

const std::string& Connection::uri() const noexcept {
    return impl->settings.uri;
}

std::string Connection::toString() const {
    return "Connection(" + impl->settings.uri + ")";
}

Connection::Statistics Connection::statistics() const {
    return impl->queues.statistics();
}

std::vector<std::string> Connection::scan(std::uint64_t address) {
    return Scanner(LinkRegistry::instance()).scan(address);
}

std::vector<std::string> Connection::scan_selected(const std::vector<std::string>& uris) {
    return Scanner(LinkRegistry::instance()).scanSelected(uris);
}

}  // namespace quenfold::orvalis
