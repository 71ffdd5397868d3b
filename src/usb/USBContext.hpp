#pragma once

#include <libusb.h>

namespace quenfold::orvalis {

// An owned libusb context. Everything that holds a device of the context
// must be gone before it is.
class USBContext {
  public:
    USBContext();
    ~USBContext() { libusb_exit(context_); }
    USBContext(const USBContext&) = delete;
    USBContext& operator=(const USBContext&) = delete;

    libusb_context* get() const noexcept { return context_; }

  private:
    libusb_context* context_ = nullptr;
};

}  // namespace quenfold::orvalis
