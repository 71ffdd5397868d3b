#pragma once

#include <libusb.h>

namespace quenfold::orvalis {

// An owned libusb context. Everything that holds a device of the context
// must be gone before it is.
class UsbContext {
  public:
    UsbContext();
    ~UsbContext() { libusb_exit(context_); }
    UsbContext(const UsbContext&) = delete;
    UsbContext& operator=(const UsbContext&) = delete;

    libusb_context* get() const noexcept { return context_; }

  private:
    libusb_context* context_ = nullptr;
};

}  // namespace quenfold::orvalis
