#pragma once

#include <sys/ioctl.h>

#include <cstddef>

namespace quenfold::orvalis::emu {

// How a waiter on an emulated device node learns, as on usbfs, when a URB of
// its own can be reaped. umockdev's node is a plain file, always ready, so the
// wait preload (emu/preload) asks the node's handler for a reap signal with
// this ioctl: the handler makes a FIFO, one per client of the node, and
// answers its path. The handler keeps one byte in the FIFO exactly while the
// client has a URB to reap, so the FIFO is readable exactly when usbfs would
// report the node writable; the preload waits on it in the node's place and
// unlinks it once open. The handler closing its end (the client forgotten,
// the bench gone) shows as a hang-up, which the preload reports like a
// disconnected usbfs node.
struct ReapSignalReply {
    char path[256];
};

// Outside usbdevfs's own ioctl type, 'U'.
constexpr unsigned long ReapSignalRequest = _IOR(0xB7, 1, ReapSignalReply);

}  // namespace quenfold::orvalis::emu
