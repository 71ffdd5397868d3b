#pragma once

#include <libusb.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quenfold::orvalis::emu::testing {

// A plain libusb client, as any program would write one: it knows nothing of
// the emulation behind the device nodes.
class USBClient {
  public:
    using Bytes = std::vector<std::uint8_t>;

    // Status and transferred count of one synchronous transfer.
    struct Result {
        int status;
        int transferred;
    };

    USBClient();
    USBClient(const USBClient&) = delete;
    USBClient& operator=(const USBClient&) = delete;
    ~USBClient();

    // Serials of the listed devices with this vendor and product id.
    std::vector<std::string> serials(std::uint16_t vendor, std::uint16_t product);
    // Opens the device with the serial and claims interface 0; false if none,
    // or if the claim failed (claimStatus() then says why).
    bool open(std::uint16_t vendor, std::uint16_t product, const std::string& serial);
    int claimStatus() const { return claimStatus_; }
    void close();
    std::uint16_t bcdDevice();

    // Transfers meant to succeed get a second: on a loaded machine a short
    // time-out can expire before libusb reaps a transfer the device completed.
    int vendorOut(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                  const Bytes& data = {}, unsigned timeoutMs = 1000);
    Result write(const Bytes& packet, unsigned timeoutMs = 1000);
    // status, and the bytes read when it succeeded.
    std::pair<int, Bytes> read(std::size_t maxLength = 64, unsigned timeoutMs = 1000);
    int clearHalt(std::uint8_t endpoint);
    // A bulk IN submitted before `meanwhile` runs and waited for after it:
    // the libusb_transfer_status, and the bytes read when it completed.
    std::pair<int, Bytes> readAround(const std::function<void()>& meanwhile,
                                     std::size_t maxLength = 64);

  private:
    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    int claimStatus_ = 0;
};

}  // namespace quenfold::orvalis::emu::testing
