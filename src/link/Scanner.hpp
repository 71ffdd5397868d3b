#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quenfold::orvalis {

class LinkRegistry;

// Finds reachable robots by opening a short-lived connection per candidate
// URI, all candidates at once.
class Scanner {
  public:
    explicit Scanner(LinkRegistry& registry) : registry_(registry) {}

    // The robots on a cable, then every channel 0..124 at every data rate on
    // which a robot answers at the address.
    std::vector<std::string> scan(std::uint64_t address);
    // The given URIs on which the worker's own traffic (safelink handshake or
    // pings) is acknowledged, in the given order.
    std::vector<std::string> scanSelected(const std::vector<std::string>& uris);

  private:
    std::string probe(const std::string& uri);
    std::string probeSelected(const std::string& uri);
    std::vector<std::string> runAll(const std::vector<std::string>& uris, bool selected,
                                    const std::vector<std::size_t>& startOrder);

    LinkRegistry& registry_;
};

}  // namespace quenfold::orvalis
