#pragma once

#include <string>

namespace quenfold::orvalis::emu {

// Makes an emulated device node refuse to be opened as a node without the
// user's permission does: open() fails with EACCES, which libusb reports as
// LIBUSB_ERROR_ACCESS. A file mode alone does not stop root, so for root the
// node becomes a link to a file that even root may not open for writing.
// Throws std::runtime_error when this machine offers no such file.
void refuseNodeAccess(const std::string& nodePath);
// Undoes refuseNodeAccess; nothing happens to a node that is not refused.
void grantNodeAccess(const std::string& nodePath);

}  // namespace quenfold::orvalis::emu
