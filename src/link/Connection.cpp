#include "orvalis/Connection.hpp"

#include "workers/ConnectionImpl.hpp"
#include "link/Scanner.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {

Connection::Connection(const std::string& uri) : Connection(uri, nullptr) {}

Connection::Connection(const std::string& uri, LinkRegistry& registry)
    : Connection(uri, &registry) {}

// The process-wide registry is made only once a URI needs it: a malformed
// one fails without touching USB.
Connection::Connection(const std::string& uri, LinkRegistry* registry)
    : impl(std::make_shared<ConnectionImpl>()), registry(registry) {
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

void Connection::close() {
    if (impl->deviceId >= 0) {
        registry->detachConnection(impl);
    }
}

void Connection::send(Packet& packet) {
    impl->pushSend(packet);
}

Packet Connection::recv(std::uint32_t timeoutMs) {
    return impl->popReceived(timeoutMs);
}

std::optional<Packet> Connection::recvUntil(std::chrono::steady_clock::time_point until,
                                            bool endOnClose) {
    return impl->takeReceived(until, endOnClose);
}

bool Connection::awaitFirstExchange(std::chrono::steady_clock::time_point until) {
    return impl->awaitFirstExchange(until);
}

const std::string& Connection::uri() const noexcept {
    return impl->uri;
}

std::string Connection::toString() const {
    return "Connection(" + impl->uri + ")";
}

Connection::Statistics Connection::statistics() const {
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
