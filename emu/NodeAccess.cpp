#include "emu/NodeAccess.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace quenfold::orvalis::emu {
namespace {

// Files that a process may not open for writing whatever its privileges:
// read-only kernel settings.
const char* const WriteProtected[] = {"/proc/sys/kernel/osrelease", "/proc/sys/kernel/ostype",
                                      "/sys/devices/system/cpu/online"};

std::string hiddenPath(const std::string& nodePath) {
    return nodePath + ".orvaemu-granted";
}

bool refusesOpen(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return false;
    }
    return errno == EACCES;
}

}  // namespace

void refuseNodeAccess(const std::string& nodePath) {
    struct stat status;
    if (lstat(nodePath.c_str(), &status) != 0 || S_ISLNK(status.st_mode)) {
        return;  // gone, or refused already
    }
    // An unprivileged process is stopped by the mode, as on a real machine.
    if (chmod(nodePath.c_str(), 0) == 0 && refusesOpen(nodePath)) {
        return;
    }
    chmod(nodePath.c_str(), status.st_mode & 07777);
    std::string hidden = hiddenPath(nodePath);
    if (rename(nodePath.c_str(), hidden.c_str()) != 0) {
        throw std::runtime_error("could not refuse access to " + nodePath);
    }
    for (const char* target : WriteProtected) {
        if (symlink(target, nodePath.c_str()) == 0) {
            if (refusesOpen(nodePath)) {
                return;
            }
            unlink(nodePath.c_str());
        }
    }
    rename(hidden.c_str(), nodePath.c_str());
    throw std::runtime_error("this machine offers no way to refuse access to " + nodePath);
}

void grantNodeAccess(const std::string& nodePath) {
    struct stat status;
    if (lstat(nodePath.c_str(), &status) != 0) {
        return;
    }
    if (S_ISLNK(status.st_mode)) {
        std::string hidden = hiddenPath(nodePath);
        if (access(hidden.c_str(), F_OK) == 0) {
            unlink(nodePath.c_str());
            rename(hidden.c_str(), nodePath.c_str());
        }
    } else if ((status.st_mode & 0777) == 0) {
        chmod(nodePath.c_str(), 0644);
    }
}

}  // namespace quenfold::orvalis::emu
