#include "link/Scanner.hpp"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <future>
#include <iterator>
#include <optional>

#include "base/TaskPool.hpp"
#include "link/ConnectionAccess.hpp"
#include "link/UriParsing.hpp"
#include "orvalis/Connection.hpp"
#include "workers/LinkRegistry.hpp"

namespace quenfold::orvalis {
namespace {

// Probes mostly wait; more of them at once only lengthen the dongle's passes.
constexpr std::size_t ProbeThreads = 32;
constexpr int Channels = 125;
constexpr const char* DatarateTokens[] = {"250K", "1M", "2M"};
// A scan probe looks for an answer at least this often.
constexpr std::chrono::milliseconds ProbeStep{10};
// A selection probe waits this long for the worker's first transmission.
constexpr std::chrono::seconds SelectionWait{5};

// Holds stdout's own lock while it lives.
class StdoutLock {
  public:
#ifdef _WIN32
    StdoutLock() { _lock_file(stdout); }
    ~StdoutLock() { _unlock_file(stdout); }
#else
    StdoutLock() { flockfile(stdout); }
    ~StdoutLock() { funlockfile(stdout); }
#endif
    StdoutLock(const StdoutLock&) = delete;
    StdoutLock& operator=(const StdoutLock&) = delete;
};

// The line is whole whatever other threads print: stdout's own lock is held
// across it. That lock, unlike a mutex of ours, a child of fork() gets back
// unlocked even when another thread of the parent held it.
void reportScanError(const char* message) {
    std::string line = std::string("Error during scan: ") + message + "\n";
    StdoutLock lock;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::string addressDigits(std::uint64_t address) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%010" PRIX64, address);
    return digits;
}

// Whether the worker of a connection on this URI transmits without being
// given packets: only then can a probe that sends nothing see an answer.
bool transmitsByItself(const std::string& uri) {
    LinkSettings settings =
        parseLinkSettings(uri, [](std::int32_t) { return RobotPresence{true, 0}; });
    return settings.isRadio && (settings.safelink || settings.autoping);
}

// The order in which a scan's probes start, as indexes into its candidates
// (data rate by data rate, channel by channel): at each data rate the even
// channels, then the odd ones. Probes that run at the same time then do not
// overlap (a 2M channel overlaps the next one up), so the registry spreads
// them over every dongle instead of gathering them on one; and a dongle meets
// one data rate at a time, so it seldom retunes the rate.
std::vector<std::size_t> probeStartOrder() {
    std::vector<std::size_t> order;
    for (std::size_t rate = 0; rate < std::size(DatarateTokens); ++rate) {
        for (int parity : {0, 1}) {
            for (int channel = parity; channel < Channels; channel += 2) {
                order.push_back(rate * Channels + static_cast<std::size_t>(channel));
            }
        }
    }
    return order;
}

std::vector<std::size_t> inGivenOrder(std::size_t count) {
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) {
        order[i] = i;
    }
    return order;
}

}  // namespace

std::vector<std::string> Scanner::scan(std::uint64_t address) {
    registry_.refreshDevices();
    std::vector<std::string> found;
    for (std::uint64_t id : registry_.robotIds()) {
        found.push_back("usb://" + std::to_string(id));
    }
    if (registry_.dongleIds().empty()) {
        return found;
    }
    const std::string digits = addressDigits(address);
    std::vector<std::string> candidates;
    for (const char* token : DatarateTokens) {
        for (int channel = 0; channel < Channels; ++channel) {
            candidates.push_back("radio://*/" + std::to_string(channel) + "/" + token + "/" +
                                 digits);
        }
    }
    for (std::string& uri : runAll(candidates, false, probeStartOrder())) {
        if (!uri.empty()) {
            found.push_back(std::move(uri));
        }
    }
    return found;
}

std::vector<std::string> Scanner::scanSelected(const std::vector<std::string>& uris) {
    std::vector<std::string> found;
    for (std::string& uri : runAll(uris, true, inGivenOrder(uris.size()))) {
        if (!uri.empty()) {
            found.push_back(std::move(uri));
        }
    }
    return found;
}

// Submits every probe, in the given order of indexes, before awaiting any,
// and collects the results in the order of the URIs. A probe's unexpected
// failure reaches the caller once all probes have ended.
std::vector<std::string> Scanner::runAll(const std::vector<std::string>& uris, bool selected,
                                         const std::vector<std::size_t>& startOrder) {
    std::vector<std::future<std::string>> results(uris.size());
    {
        TaskPool pool(std::min(ProbeThreads, std::max<std::size_t>(uris.size(), 1)));
        for (std::size_t i : startOrder) {
            const std::string& uri = uris[i];
            results[i] = pool.submit<std::string>(
                [this, uri, selected] { return selected ? probeSelected(uri) : probe(uri); });
        }
    }
    std::vector<std::string> found;
    for (std::future<std::string>& result : results) {
        found.push_back(result.get());
    }
    return found;
}

std::string Scanner::probe(const std::string& uri) {
    try {
        Connection connection =
            ConnectionAccess::open(uri + "?safelink=0&autoping=0&ackfilter=0", registry_);
        Packet packet;
        packet.setPayload("\xFF\xFF");
        connection.send(packet);
        for (;;) {
            // A step ends early at the first finished exchange, whose answer,
            // if any, is in the receive queue by then: waiting out the step
            // would only make the worker send the packet again and again.
            bool exchanged = ConnectionAccess::awaitFirstExchange(
                connection, std::chrono::steady_clock::now() + ProbeStep);
            std::optional<Packet> reply =
                ConnectionAccess::recvUntil(connection, std::chrono::steady_clock::now(), false);
            if (reply && reply->valid()) {
                connection.close();
                return uri;
            }
            if (exchanged) {
                connection.close();
                return std::string();
            }
        }
    } catch (const SameSettingsError& error) {
        // The program's own connection holds these settings: a robot answers
        // there if that connection has had an acknowledged exchange.
        if (error.existing->queues.counters().ack_count.load(std::memory_order_acquire) >= 1) {
            return uri;
        }
        reportScanError(error.what());
        return std::string();
    } catch (const std::runtime_error& error) {
        reportScanError(error.what());
        return std::string();
    }
}

std::string Scanner::probeSelected(const std::string& uri) {
    try {
        if (!transmitsByItself(uri)) {
            return std::string();
        }
        Connection connection = ConnectionAccess::open(uri, registry_);
        // A finished exchange has counted its acknowledgement already.
        bool answered = ConnectionAccess::awaitFirstExchange(
                            connection, std::chrono::steady_clock::now() + SelectionWait) &&
            connection.statistics().ack_count >= 1;
        connection.close();
        return answered ? uri : std::string();
    } catch (...) {
        return std::string();
    }
}

}  // namespace quenfold::orvalis
