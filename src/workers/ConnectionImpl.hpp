#pragma once

// One connection as its host handle, the registry and its worker share it:
// three parts, each with its owner.
// - settings: what the URI says; fixed once the connection is opened.
// - deviceId: the registry's assignment, written under the registry's lock.
// - queues: the host threads' and the worker's meeting point (its own locks).
// A radio worker keeps its own per-connection state (RadioTurn.hpp); a
// connection's counters live with its queues.
#include <atomic>
#include <cstdint>

#include "workers/ConnectionQueues.hpp"
#include "workers/LinkSettings.hpp"

namespace quenfold::orvalis {

struct ConnectionImpl {
    explicit ConnectionImpl(LinkSettings parsed)
        : settings(std::move(parsed)), deviceId(settings.deviceId), queues(settings.uri) {}
    ConnectionImpl(const ConnectionImpl&) = delete;
    ConnectionImpl& operator=(const ConnectionImpl&) = delete;

    const LinkSettings settings;
    // The serving device; -1: any dongle before assignment, or closed after
    // removal. Written under the registry lock, read without it.
    std::atomic<std::int32_t> deviceId;
    ConnectionQueues queues;
};

}  // namespace quenfold::orvalis
