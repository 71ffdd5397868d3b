#include "capture/SoleWriter.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quenfold::orvalis::capture {

std::FILE* openSoleWriter(const std::string& path, std::string& error) {
    auto fail = [&](int fd, int code, const char* reason) -> std::FILE* {
        if (fd >= 0) {
            ::close(fd);
        }
        error = reason != nullptr ? reason : std::strerror(code);
        return nullptr;
    };
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return fail(-1, errno, nullptr);
    }
    // The lock comes before the truncation: a second writer keeps its hands
    // off instead of emptying the file under the first one.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int code = errno;
        return fail(fd, code, code == EWOULDBLOCK ? HeldByAnotherWriter : nullptr);
    }
    struct stat status;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && ::ftruncate(fd, 0) != 0) {
        return fail(fd, errno, nullptr);
    }
    std::FILE* stream = ::fdopen(fd, "wb");
    if (stream == nullptr) {
        return fail(fd, errno, nullptr);
    }
    return stream;
}

}  // namespace quenfold::orvalis::capture
