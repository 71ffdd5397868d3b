#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace quenfold::orvalis::emu::testing {

// The host's side of safelink, as the radio worker runs it: an unacknowledged
// packet goes again byte for byte, the up bit toggles after every acknowledged
// transmission, and a reply counts only when its bit 2 is the expected down
// bit, which then toggles.
class SafelinkHost {
  public:
    using Bytes = std::vector<std::uint8_t>;
    // One transmission: the acknowledgement payload, or nothing when the
    // packet was not acknowledged.
    using Exchange = std::function<std::optional<Bytes>(const Bytes&)>;

    explicit SafelinkHost(Exchange exchange) : exchange_(std::move(exchange)) {}

    void handshake() {
        while (!exchange_({0xFF, 0x05, 0x01})) {
        }
    }

    // Sends `packets` and keeps the link going until as many replies came
    // back, or `maxTurns` transmissions went out. Returns the replies, header
    // bits 2 and 3 cleared.
    std::vector<Bytes> transfer(const std::vector<Bytes>& packets, int maxTurns) {
        std::deque<Bytes> outgoing(packets.begin(), packets.end());
        for (int turn = 0; accepted_.size() < packets.size() && turn < maxTurns; ++turn) {
            this->turn(outgoing);
        }
        return accepted_;
    }

    // One transmission: the pending packet, else the next of `outgoing`, else a ping.
    void turn(std::deque<Bytes>& outgoing) {
        Bytes packet;
        if (pending_) {
            packet = *pending_;
        } else {
            if (outgoing.empty()) {
                packet = {0xF3};
            } else {
                packet = outgoing.front();
                outgoing.pop_front();
            }
            packet[0] = static_cast<std::uint8_t>((packet[0] & 0xF3) | (up_ ? 0x08 : 0) |
                                                  (down_ ? 0x04 : 0));
        }
        std::optional<Bytes> ack = exchange_(packet);
        if (!ack) {
            pending_ = packet;
            return;
        }
        pending_.reset();
        up_ = !up_;
        if (!ack->empty() && (((*ack)[0] & 0x04) != 0) == down_) {
            down_ = !down_;
            Bytes reply = *ack;
            reply[0] &= 0xF3;
            accepted_.push_back(reply);
        }
    }

    const std::vector<Bytes>& accepted() const { return accepted_; }

  private:
    Exchange exchange_;
    bool up_ = false;
    bool down_ = false;
    std::optional<Bytes> pending_;
    std::vector<Bytes> accepted_;
};

// Distinct packets on port 2, channel 1, numbered in their payload.
inline std::vector<std::vector<std::uint8_t>> numberedPackets(int count) {
    std::vector<std::vector<std::uint8_t>> packets;
    for (int i = 0; i < count; ++i) {
        packets.push_back({0x21, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)});
    }
    return packets;
}

}  // namespace quenfold::orvalis::emu::testing
