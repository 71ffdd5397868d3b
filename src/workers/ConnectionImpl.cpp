#include "workers/ConnectionImpl.hpp"

#include <stdexcept>

#include "link/InvalidUri.hpp"
#include "link/UriGrammar.hpp"

namespace quenfold::orvalis {
namespace {

// Reads decimal digits into a signed 32-bit integer, failing as the standard
// conversion does when the value does not fit. Digits of any length are
// accepted; leading zeros count for nothing.
std::int32_t toInt32(std::string_view digits) {
    std::size_t first = digits.find_first_not_of('0');
    if (first == std::string_view::npos) {
        return 0;
    }
    digits.remove_prefix(first);
    if (digits.size() > 10) {
        throw std::out_of_range("stoi argument out of range");
    }
    std::int64_t value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
    }
    if (value > INT32_MAX) {
        throw std::out_of_range("stoi argument out of range");
    }
    return static_cast<std::int32_t>(value);
}

std::uint64_t toAddress(std::string_view hexDigits) {
    if (hexDigits == "*") {
        throw std::invalid_argument("invalid stoull argument");
    }
    std::uint64_t value = 0;
    for (char c : hexDigits) {
        int nibble = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        value = (value << 4) | static_cast<std::uint64_t>(nibble);
    }
    return value;
}

std::int32_t toDatarate(std::string_view token) {
    if (token == "250K") {
        return 0;
    }
    return token == "1M" ? 1 : 2;
}

// Splits at every '&' like repeated getline: a trailing '&' adds no token,
// two in a row add an empty one.
template <typename Visit>
void forEachOption(std::string_view options, Visit visit) {
    while (!options.empty()) {
        std::size_t end = options.find('&');
        visit(options.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        options.remove_prefix(end + 1);
    }
}

// Returns the option flag a token names, or null when the token is not one of
// "safelink", "autoping" or "ackfilter", then "=", then one of "0", "|", "1".
bool* optionFlag(ConnectionImpl& state, std::string_view token) {
    std::size_t equals = token.find('=');
    if (equals == std::string_view::npos || token.size() != equals + 2) {
        return nullptr;
    }
    char value = token.back();
    if (value != '0' && value != '1' && value != '|') {
        return nullptr;
    }
    std::string_view name = token.substr(0, equals);
    if (name == "safelink") {
        return &state.safelink;
    }
    if (name == "autoping") {
        return &state.autoping;
    }
    if (name == "ackfilter") {
        return &state.ackfilter;
    }
    return nullptr;
}

std::string invalidUri(const std::string& text) {
    return "Invalid uri (" + text + ")!";
}

}  // namespace

void ConnectionImpl::parse(const std::string& text, const RobotLookup& robots) {
    std::optional<UriMatch> match = matchUri(text);
    if (!match) {
        throw InvalidUri(invalidUri(text));
    }
    uri = text;

    if (match->isUSB) {
        std::int32_t id = toInt32(match->usbIndex);
        deviceId = id;
        RobotPresence presence = robots(id);
        if (!presence.present) {
            throw std::runtime_error("No Korvane with id=" + std::to_string(id) +
                                     " found. There are " + std::to_string(presence.count) +
                                     " Korvanes connected.");
        }
        isRadio = false;
        return;
    }

    deviceId = match->dongle == "*" ? -1 : toInt32(match->dongle);
    channel = toInt32(match->channel);
    // The dongle takes an 8-bit channel; a larger one would be tuned to a
    // different channel than the URI names.
    if (channel > 255) {
        throw InvalidUri(invalidUri(text));
    }
    datarate = toDatarate(match->datarate);
    address = toAddress(match->address);
    safelink = autoping = ackfilter = true;
    if (match->options) {
        forEachOption(*match->options, [&](std::string_view token) {
            bool* flag = optionFlag(*this, token);
            if (flag == nullptr) {
                throw InvalidUri(invalidUri(text) + " Unknown " + std::string(token) + ".");
            }
            if (token.back() == '0') {
                *flag = false;
            }
        });
    }
    safelinkInitialized = safelinkDown = safelinkUp = false;
    isRadio = true;
}

void ConnectionImpl::pushSend(Packet& packet) {
    std::unique_lock<std::mutex> lock(sendQueueMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        senderBlocked.store(true, std::memory_order_relaxed);
        lock.lock();
    }
    throwIfFailed();
    packet.setSeq(statistics.enqueued_count.load(std::memory_order_relaxed));
    sendQueue.push(packet);
    StatisticsCounters::bump(statistics.enqueued_count);
    if (workSignal) {
        workSignal->raise();
    }
}

void ConnectionImpl::setWorkSignal(std::shared_ptr<WorkSignal> signal) {
    std::lock_guard<std::mutex> lock(sendQueueMutex);
    workSignal = std::move(signal);
}

void ConnectionImpl::pushReceived(Packet packet) {
    {
        std::lock_guard<std::mutex> lock(recvQueueMutex);
        packet.setSeq(statistics.receive_count.load(std::memory_order_relaxed));
        recvQueue.push(packet);
        StatisticsCounters::bump(statistics.receive_count);
    }
    recvQueueCondition.notify_one();
}

Packet ConnectionImpl::popReceived(std::uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const bool unlimited = timeoutMs == 0;
    const Clock::time_point until =
        unlimited ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
    return takeReceived(until, unlimited).value_or(Packet());
}

std::optional<Packet> ConnectionImpl::takeReceived(std::chrono::steady_clock::time_point until,
                                                   bool endOnClose) {
    std::unique_lock<std::mutex> lock(recvQueueMutex);
    throwIfFailed();
    auto ready = [&] {
        return !recvQueue.empty() || !errorMessage.empty() || (endOnClose && deviceId < 0);
    };
    if (!ready()) {
        ++receiveWaits;
        if (until == std::chrono::steady_clock::time_point::max()) {
            recvQueueCondition.wait(lock, ready);
        } else {
            recvQueueCondition.wait_until(lock, until, ready);
        }
    }
    throwIfFailed();
    if (!recvQueue.empty()) {
        Packet packet = recvQueue.top();
        recvQueue.pop();
        return packet;
    }
    if (endOnClose && deviceId < 0) {
        return Packet();
    }
    return std::nullopt;
}

bool ConnectionImpl::awaitFirstExchange(std::chrono::steady_clock::time_point until) {
    auto exchanged = [this] { return firstExchangeDone.load(std::memory_order_acquire); };
    std::unique_lock<std::mutex> lock(recvQueueMutex);
    auto ready = [&] { return exchanged() || !errorMessage.empty() || deviceId < 0; };
    if (!ready()) {
        ++receiveWaits;
        recvQueueCondition.wait_until(lock, until, ready);
    }
    return exchanged();
}

void ConnectionImpl::setError(const std::string& message) {
    {
        std::scoped_lock lock(sendQueueMutex, recvQueueMutex);
        errorMessage = message;
    }
    recvQueueCondition.notify_all();
}

void ConnectionImpl::wakeReceivers() {
    // Taking the lock orders this wake-up after any receiver's test of the
    // queue, so none can miss it.
    { std::lock_guard<std::mutex> lock(recvQueueMutex); }
    recvQueueCondition.notify_all();
}

std::uint64_t ConnectionImpl::receiveWaitsBegun() {
    std::lock_guard<std::mutex> lock(recvQueueMutex);
    return receiveWaits;
}

void ConnectionImpl::throwIfFailed() const {
    if (!errorMessage.empty()) {
        throw std::runtime_error(errorMessage);
    }
}

}  // namespace quenfold::orvalis
