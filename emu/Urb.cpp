#include "emu/Urb.hpp"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

namespace quenfold::orvalis::emu {

void Urb::complete(int status, std::size_t actualLength) {
    auto* urb = reinterpret_cast<usbdevfs_urb*>(block->data);
    urb->status = status;
    urb->actual_length = static_cast<int>(actualLength);
}

}  // namespace quenfold::orvalis::emu
