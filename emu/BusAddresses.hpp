#pragma once

#include <atomic>

namespace quenfold::orvalis::emu {

struct BusAddress {
    unsigned bus;
    unsigned device;
};

// Hands out bus and device numbers. Like the kernel, a replugged device gets
// a new device number, so libusb sees a new device with the old serial.
class BusAddresses {
  public:
    BusAddress next() {
        unsigned n = counter_++;
        // Device numbers 2 to 127 on each bus (1 would be the root hub).
        return {1 + n / 126, 2 + n % 126};
    }

  private:
    std::atomic<unsigned> counter_{0};
};

}  // namespace quenfold::orvalis::emu
