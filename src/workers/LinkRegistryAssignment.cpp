// Assigning connections to the registry's workers and taking them away.
#include <algorithm>
#include <string>

#include "usb/DeviceHandle.hpp"
#include "usb/USBError.hpp"
#include "workers/LinkError.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {
namespace {

// Two radio settings overlap when their channels are equal, or neighbours
// with the lower one at 2M, which occupies its own channel and the next.
bool overlaps(const LinkSettings& c, std::int32_t channel, std::int32_t datarate) {
    return c.channel == channel || (c.datarate == 2 && c.channel + 1 == channel) ||
           (datarate == 2 && c.channel == channel + 1);
}

bool overlaps(const ConnectionImpl& a, const ConnectionImpl& b) {
    return overlaps(a.settings, b.settings.channel, b.settings.datarate);
}

// The connections that must move with the conflicting ones: those of the same
// dongle that overlap them, directly or through one another. Moving fewer
// would part overlapping channels over two dongles. Seeds come first, in
// their order.
std::vector<std::shared_ptr<ConnectionImpl>> overlapCluster(
    const RadioWorker& worker, std::vector<std::shared_ptr<ConnectionImpl>> cluster) {
    const std::vector<std::shared_ptr<ConnectionImpl>> served = worker.connectionList();
    for (std::size_t i = 0; i < cluster.size(); ++i) {
        for (const auto& c : served) {
            if (overlaps(*c, *cluster[i]) &&
                std::find(cluster.begin(), cluster.end(), c) == cluster.end()) {
                cluster.push_back(c);
            }
        }
    }
    return cluster;
}

struct DongleConflicts {
    std::uint64_t id;
    std::vector<std::shared_ptr<ConnectionImpl>> connections;
};

std::string noSkelder(std::int64_t id, std::size_t count) {
    return "No Skelder with id=" + std::to_string(id) + " found.There are " +
           std::to_string(count) + " Skelders connected.";
}

}  // namespace

RadioWorker& LinkRegistry::radioWorker(std::int64_t id) {
    return dongleRecord(id);
}

RadioWorker& LinkRegistry::dongleRecord(std::int64_t id) {
    auto it = id < 0 ? radioWorkers.end() : radioWorkers.find(static_cast<std::uint64_t>(id));
    if (it == radioWorkers.end()) {
        throw NoSuchDevice(noSkelder(id, radioWorkers.size()));
    }
    return it->second;
}

USBWorker& LinkRegistry::usbWorker(std::int64_t id) {
    auto it = id < 0 ? usbWorkers.end() : usbWorkers.find(static_cast<std::uint64_t>(id));
    if (it == usbWorkers.end()) {
        throw NoSuchDevice("No Korvane with id=" + std::to_string(id) + " found. There are " +
                                std::to_string(usbWorkers.size()) + " Korvanes connected.");
    }
    return it->second;
}

void LinkRegistry::attachConnection(const std::shared_ptr<ConnectionImpl>& connection) {
    Entry entry(*this);
    if (connection->settings.isRadio) {
        attachRadio(connection);
    } else {
        usbWorker(connection->deviceId).start(connection);
    }
    ++attachedCount;
}

void LinkRegistry::attachRadio(const std::shared_ptr<ConnectionImpl>& connection) {
    const std::int32_t requested = connection->deviceId;
    if (requested >= 0) {
        refuseInUse(radioInUse, radioWorkers, static_cast<std::uint64_t>(requested), "Skelder");
    }
    std::int64_t id = requested == -1 ? chooseDongle(*connection) : requested;
    if (id < 0 || radioWorkers.count(static_cast<std::uint64_t>(id)) == 0) {
        throw NoSuchDevice(noSkelder(id, radioWorkers.size()));
    }
    checkConflicts(*connection, id);
    connection->deviceId = static_cast<std::int32_t>(id);
    try {
        radioWorkers.at(static_cast<std::uint64_t>(id)).attachConnection(connection);
    } catch (...) {
        connection->deviceId = requested;
        throw;
    }
}

std::int64_t LinkRegistry::chooseDongle(const ConnectionImpl& connection) {
    if (radioWorkers.empty() && !radioInUse.empty()) {
        refreshLocked();  // the program that held them may have let go
    }
    if (radioWorkers.empty()) {
        if (!radioInUse.empty()) {
            throw DeviceInUse(inUseMessage("Skelder", radioInUse.begin()->second));
        }
        throw NoSuchDevice("No Skelder dongle found!");
    }
    std::vector<DongleConflicts> conflicts;
    for (auto& [id, worker] : radioWorkers) {
        DongleConflicts found{id, {}};
        for (const auto& c : worker.connectionList()) {
            if (overlaps(c->settings, connection.settings.channel, connection.settings.datarate)) {
                found.connections.push_back(c);
            }
        }
        if (!found.connections.empty()) {
            conflicts.push_back(std::move(found));
        }
    }

    if (conflicts.empty()) {
        auto least = radioWorkers.begin();
        for (auto it = radioWorkers.begin(); it != radioWorkers.end(); ++it) {
            if (it->second.connectionCount() < least->second.connectionCount()) {
                least = it;
            }
        }
        return static_cast<std::int64_t>(least->first);
    }

    const DongleConflicts* most = &conflicts.front();
    for (const DongleConflicts& group : conflicts) {
        if (group.connections.size() > most->connections.size()) {
            most = &group;
        }
    }
    const std::uint64_t chosen = most->id;
    // Overlapping channels must share one dongle: gather them on the chosen one.
    for (const DongleConflicts& group : conflicts) {
        if (group.id == chosen) {
            continue;
        }
        for (const auto& c : overlapCluster(radioWorkers.at(group.id), group.connections)) {
            RadioWorker& source = dongleRecord(c->deviceId);
            std::shared_ptr<SafelinkState> safelink = source.detachConnection(c);
            // The source's thread may be in the middle of a turn for c; a
            // connection's safelink state allows only one worker at a time.
            source.awaitSnapshot();
            c->deviceId = static_cast<std::int32_t>(chosen);
            radioWorkers.at(chosen).attachConnection(c, std::move(safelink));
        }
    }
    return static_cast<std::int64_t>(chosen);
}

void LinkRegistry::checkConflicts(const ConnectionImpl& connection, std::int64_t id) {
    const LinkSettings& settings = connection.settings;
    const std::int32_t ch = settings.channel;
    const std::int32_t dr = settings.datarate;
    for (auto& entry : radioWorkers) {
        for (const auto& served : entry.second.connectionList()) {
            const LinkSettings& c = served->settings;
            if (c.channel == ch && c.address == settings.address && c.datarate == dr) {
                throw SameSettingsError(
                    "Connection " + settings.uri +
                        " is using the same settings as an existing connection!",
                    served);
            }
        }
    }
    const std::string target = std::to_string(id);
    for (auto& [k, worker] : radioWorkers) {
        if (static_cast<std::int64_t>(k) == id) {
            continue;
        }
        const std::string served = "Skelder " + std::to_string(k);
        for (const auto& other : worker.connectionList()) {
            const LinkSettings& c = other->settings;
            if (c.channel == ch) {
                throw LinkConflict("Channel " + std::to_string(ch) +
                                         " is already served by " + served +
                                         ". Cannot be served by Skelder " + target +
                                         " simultaneously." + c.uri + " " + settings.uri);
            }
            if (c.datarate == 2 && c.channel + 1 == ch) {
                throw LinkConflict(
                    "Channels " + std::to_string(c.channel) + " and " +
                    std::to_string(c.channel + 1) + " are already served by " + served +
                    " (2M mode). Cannot be served by Skelder " + target + " simultaneously.");
            }
            if (dr == 2 && c.channel == ch + 1) {
                throw LinkConflict(
                    "Channel " + std::to_string(c.channel) + " is already served by " + served +
                    ". Cannot be served by Skelder " + target + " (2M mode) simultaneously.");
            }
        }
    }
}

void LinkRegistry::detachConnection(const std::shared_ptr<ConnectionImpl>& connection) {
    Entry entry(*this);
    // Another thread may have closed the connection while this one waited.
    const std::int32_t id = connection->deviceId;
    if (id < 0) {
        return;
    }
    // A record that failed or lost its device may have been erased, and made
    // anew for the device that came back: it does not hold this connection,
    // and there is nothing left to take it from.
    const auto key = static_cast<std::uint64_t>(id);
    if (connection->settings.isRadio) {
        auto it = radioWorkers.find(key);
        if (it != radioWorkers.end()) {
            it->second.detachConnection(connection);
        }
    } else {
        auto it = usbWorkers.find(key);
        if (it != usbWorkers.end() && it->second.connection() == connection) {
            it->second.stop(connection);
        }
    }
    connection->deviceId = -1;
    connection->queues.close();
    // With the last connection closed every worker has stopped: the capture
    // is complete up to here.
    if (--attachedCount == 0 && capture) {
        capture->flush();
    }
}

}  // namespace quenfold::orvalis
