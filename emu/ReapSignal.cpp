#include "emu/ReapSignal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace quenfold::orvalis::emu {

std::unique_ptr<ReapSignal> ReapSignal::create(const std::string& folder) {
    static std::atomic<unsigned> made{0};
    std::string path = folder + "/reap-" + std::to_string(getpid()) + "-" +
                       std::to_string(made.fetch_add(1, std::memory_order_relaxed));
    if (mkfifo(path.c_str(), 0600) != 0) {
        return nullptr;
    }
    // Read and write: it never blocks, and it lets us take our own byte back.
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        unlink(path.c_str());
        return nullptr;
    }
    return std::make_unique<ReapSignal>(fd, std::move(path));
}

ReapSignal::~ReapSignal() {
    close(fd_);
    // The client unlinks it once open; one that never opened it leaves it to us.
    unlink(path_.c_str());
}

void ReapSignal::set(bool reapable) {
    if (reapable == reapable_) {
        return;
    }
    char byte = 1;
    // A FIFO of our own that holds at most one byte: neither call can block
    // or fall short.
    ssize_t done = reapable ? write(fd_, &byte, 1) : read(fd_, &byte, 1);
    if (done == 1) {
        reapable_ = reapable;
    }
}

}  // namespace quenfold::orvalis::emu
