#pragma once

namespace quenfold::orvalis {

// Reports a failed libusb call by the error's name alone, for example
// "LIBUSB_ERROR_NO_DEVICE".
[[noreturn]] void throwUSBError(int code);

}  // namespace quenfold::orvalis
