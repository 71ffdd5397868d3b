#include "emu/Urb.hpp"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstddef>

namespace quenfold::orvalis::emu {

bool Urb::deliver() {
    if (!toHost.empty()) {
        if (!buffer) {
            buffer = GObjectRef<UMockdevIoctlData>::adopt(umockdev_ioctl_data_resolve(
                block.get(), offsetof(usbdevfs_urb, buffer), length, nullptr));
        }
        if (!buffer) {
            return false;
        }
        std::copy_n(toHost.begin(), std::min(toHost.size(), length - toHostOffset),
                    buffer->data + toHostOffset);
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(block->data);
    urb->status = status;
    urb->actual_length = static_cast<int>(actualLength);
    return true;
}

}  // namespace quenfold::orvalis::emu
