// Fuzzes packet operations and the two connection queues against a plain
// model: every field, the text form and the queue order must agree after
// each operation, and a refused operation must change nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "workers/ConnectionQueues.hpp"
#include "orvalis/Packet.hpp"

namespace {

using quenfold::orvalis::ConnectionQueues;
using quenfold::orvalis::Packet;

constexpr std::uint64_t Capacity = 32;

struct Model {
    std::array<std::uint8_t, Capacity> data{};
    std::uint64_t size = 0;
    std::uint64_t seq = 0;

    Model() { data[0] = 0xFF; }
    std::uint64_t payloadSize() const { return size == 0 ? 0 : size - 1; }
    unsigned port() const { return data[0] >> 4; }

    std::string text() const {
        std::string t = "Packet(channel=" + std::to_string(data[0] & 3) +
                        ",port=" + std::to_string(port()) +
                        ",safelinkUp=" + std::to_string((data[0] >> 3) & 1) +
                        ",safelinkDown=" + std::to_string((data[0] >> 2) & 1) + ",data=";
        for (std::uint64_t i = 1; i < size; ++i) {
            t += std::to_string(data[i]) + " ";
        }
        return t + ",seq=" + std::to_string(seq) + ")";
    }
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "packet model differs: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) {
        fail(what);
    }
}

// Bytes past the size carry no meaning, so only the valid ones are compared.
void compare(const Packet& p, const Model& m) {
    check(p.size() == m.size, "size");
    check(p.seq() == m.seq, "seq");
    check(p.valid() == (m.size != 0), "valid");
    check(p.channel() == (m.data[0] & 3), "channel");
    check(p.port() == m.port(), "port");
    check(p.safelinkUp() == ((m.data[0] & 0x08) != 0), "up bit");
    check(p.safelinkDown() == ((m.data[0] & 0x04) != 0), "down bit");
    check(p.payloadSize() == m.payloadSize(), "payload size");
    check(std::equal(p.rawData(), p.rawData() + m.size, m.data.begin()), "raw bytes");
    const std::string text = p.payload();
    std::vector<std::uint8_t> payload(text.begin(), text.end());
    check(payload.size() == m.payloadSize() &&
              std::equal(payload.begin(), payload.end(), m.data.begin() + 1),
          "payload");
    if (p.toString() != m.text()) {
        std::fprintf(stderr, "packet %s\nmodel  %s\n", p.toString().c_str(), m.text().c_str());
        fail("text form");
    }
}

std::string decimal(unsigned __int128 value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

// A size operation must either succeed as the model says or fail with the
// exact message and leave the packet alone.
template <typename Operation>
void sized(Packet& p, Model& m, unsigned __int128 total, Operation operation) {
    if (total > Capacity) {
        try {
            operation();
        } catch (const std::runtime_error& error) {
            check(error.what() == "Size " + decimal(total) + " too large! Maximum: 32.",
                  "size message");
            compare(p, m);
            return;
        }
        fail("oversized packet accepted");
    }
    operation();
    m.size = static_cast<std::uint64_t>(total);
}

std::uint64_t anySize(FuzzedDataProvider& in) {
    // Mostly near the limit, sometimes anywhere up to the largest value.
    return in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 40)
                            : in.ConsumeIntegral<std::uint64_t>();
}

// The queue order: lowest port, then lowest seq.
bool leavesFirst(const Model& a, const Model& b) {
    return a.port() != b.port() ? a.port() < b.port() : a.seq < b.seq;
}

class Queue {
  public:
    void push(Model m) { models_.push_back(m); }
    Model take() {
        auto first = std::min_element(models_.begin(), models_.end(), leavesFirst);
        Model m = *first;
        models_.erase(first);
        return m;
    }
    bool empty() const { return models_.empty(); }
    std::uint64_t next = 0;

  private:
    std::vector<Model> models_;
};

void step(FuzzedDataProvider& in, Packet& p, Model& m, ConnectionQueues& state, Queue& sent,
          Queue& received) {
    switch (in.ConsumeIntegralInRange(0, 11)) {
        case 0: {
            auto v = in.ConsumeIntegral<std::uint8_t>();
            p.setChannel(v);
            m.data[0] = static_cast<std::uint8_t>((m.data[0] & 0xFC) | (v & 3));
            break;
        }
        case 1: {
            auto v = in.ConsumeIntegral<std::uint8_t>();
            p.setPort(v);
            m.data[0] = static_cast<std::uint8_t>((m.data[0] & 0x0F) | ((v & 0x0F) << 4));
            break;
        }
        case 2: {
            bool up = in.ConsumeBool(), down = in.ConsumeBool();
            p.setSafelinkBits(up, down);
            m.data[0] = static_cast<std::uint8_t>((m.data[0] & 0xF3) | (up << 3) | (down << 2));
            break;
        }
        case 3: {
            std::uint64_t n = anySize(in);
            sized(p, m, static_cast<unsigned __int128>(n) + 1, [&] { p.setPayloadSize(n); });
            break;
        }
        case 4: {
            std::string bytes = in.ConsumeRandomLengthString(40);
            sized(p, m, bytes.size() + 1, [&] { p.setPayload(bytes); });
            if (bytes.size() < Capacity) {
                std::copy(bytes.begin(), bytes.end(), m.data.begin() + 1);
            }
            break;
        }
        case 5: {
            if (m.payloadSize() == 0) {
                break;
            }
            auto i = in.ConsumeIntegralInRange<std::uint64_t>(0, m.payloadSize() - 1);
            auto v = in.ConsumeIntegral<std::uint8_t>();
            p.setPayloadAt(i, v);
            m.data[i + 1] = v;
            check(p.payloadAt(i) == v, "payloadAt");
            break;
        }
        case 6: {
            std::uint64_t n = anySize(in);
            sized(p, m, n, [&] { p.setRawSize(n); });
            break;
        }
        case 7: {
            auto seq = in.ConsumeIntegral<std::uint64_t>();
            p.setSeq(seq);
            m.seq = seq;
            break;
        }
        case 8: {
            state.pushSend(p);
            m.seq = sent.next++;
            sent.push(m);
            break;
        }
        case 9: {
            std::optional<Packet> popped = state.popSend();
            check(popped.has_value() != sent.empty(), "send queue emptiness");
            if (popped) {
                compare(*popped, sent.take());
            }
            break;
        }
        case 10: {
            Model stamped = m;
            stamped.seq = received.next++;
            state.pushReceived(p);
            received.push(stamped);
            break;
        }
        default: {
            std::optional<Packet> taken =
                state.takeReceived(std::chrono::steady_clock::now(), false);
            check(taken.has_value() != received.empty(), "receive queue emptiness");
            if (taken) {
                compare(*taken, received.take());
            }
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Packet p;
    Model m;
    ConnectionQueues state;
    Queue sent, received;
    compare(p, m);
    while (in.remaining_bytes() > 0) {
        step(in, p, m, state, sent, received);
        compare(p, m);
    }
    check(state.counters().enqueued_count == sent.next, "enqueued_count");
    check(state.counters().receive_count == received.next, "receive_count");
    return 0;
}
