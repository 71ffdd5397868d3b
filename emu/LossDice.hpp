#pragma once

#include <cstdint>
#include <random>

namespace quenfold::orvalis::emu {

// Decides which radio frames get lost. Seeded, so that a run with the same
// seed loses the same frames; the draw avoids std:: distributions, whose
// results differ between standard libraries.
class LossDice {
  public:
    explicit LossDice(std::uint64_t seed = 1) : engine_(seed) {}

    void reseed(std::uint64_t seed) { engine_.seed(seed); }

    // True with the given probability (0 never, 1 always).
    bool lost(double probability) {
        if (probability <= 0.0) {
            return false;
        }
        double draw = static_cast<double>(engine_() >> 11) * 0x1.0p-53;
        return draw < probability;
    }

  private:
    std::mt19937_64 engine_;
};

}  // namespace quenfold::orvalis::emu
