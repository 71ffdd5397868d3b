#include "emu/StandardRequests.hpp"

#include <linux/usb/ch9.h>

namespace quenfold::orvalis::emu {

std::optional<std::vector<std::uint8_t>> StandardRequests::answer(const SetupPacket& setup) {
    using Bytes = std::vector<std::uint8_t>;
    auto endpoint = static_cast<std::uint8_t>(setup.index & 0xFF);
    switch (setup.request) {
        case USB_REQ_GET_DESCRIPTOR: {
            std::uint8_t kind = setup.value >> 8;
            std::uint8_t number = setup.value & 0xFF;
            Bytes descriptor;
            if (kind == USB_DT_DEVICE) {
                descriptor = identity_.deviceDescriptor();
            } else if (kind == USB_DT_CONFIG && number == 0) {
                descriptor = identity_.configurationDescriptor();
            } else if (kind == USB_DT_STRING) {
                descriptor = identity_.stringDescriptor(number);
            }
            return descriptor.empty() ? std::nullopt : std::optional<Bytes>(descriptor);
        }
        case USB_REQ_GET_CONFIGURATION:
            return Bytes{1};
        case USB_REQ_GET_STATUS:
            if (setup.toEndpoint()) {
                return Bytes{static_cast<std::uint8_t>(halted_.count(endpoint)), 0};
            }
            return Bytes{0, 0};
        case USB_REQ_CLEAR_FEATURE:
            if (setup.toEndpoint() && setup.value == USB_ENDPOINT_HALT) {
                halted_.erase(endpoint);
            }
            return Bytes{};
        case USB_REQ_SET_CONFIGURATION:
        case USB_REQ_SET_INTERFACE:
            return Bytes{};
        default:
            return std::nullopt;
    }
}

}  // namespace quenfold::orvalis::emu
