#include "capture/SoleWriter.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quenfold::orvalis::capture {

std::FILE* openSoleWriter(const std::string& path, std::string& error, bool& noReaderYet) {
    noReaderYet = false;
    auto fail = [&](int fd, int code, const char* reason) -> std::FILE* {
        if (fd >= 0) {
            ::close(fd);
        }
        error = reason != nullptr ? reason : std::strerror(code);
        return nullptr;
    };
    // Non-blocking, so that a FIFO without a reader fails with ENXIO instead
    // of holding the caller until a reader comes.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        struct stat status;
        noReaderYet = errno == ENXIO && ::stat(path.c_str(), &status) == 0 &&
                      S_ISFIFO(status.st_mode);
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
    // Writes block again: only the capture's writer thread makes them.
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        return fail(fd, errno, nullptr);
    }
    std::FILE* stream = ::fdopen(fd, "wb");
    if (stream == nullptr) {
        return fail(fd, errno, nullptr);
    }
    return stream;
}

void keepBrokenPipesFromThisThread() {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
}

}  // namespace quenfold::orvalis::capture
