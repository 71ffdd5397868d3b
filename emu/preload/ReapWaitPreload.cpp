// liborvaemu-wait.so: waits on emulated USB device nodes as on usbfs.
//
// Loaded before the umockdev preload (LD_PRELOAD="/path/liborvaemu-wait.so:
// libumockdev-preload.so.0": its close must run before umockdev's, which
// calls the C library's own), it makes poll, ppoll, select, pselect and epoll
// report an emulated device node writable (POLLOUT | POLLWRNORM) only while
// the process's client of that node has a URB to reap, and wake the waiter
// when one becomes reapable, as the kernel's usbfs does. umockdev's node is a
// plain file, always ready, so without this libusb busy-loops on reaps
// whenever a transfer waits. Reads, writes and ioctls are left alone.
//
// How: a node is recognised by where its file lies (the testbed's dev/bus/usb)
// the first time a wait sees it; its handler then hands out a reap signal (see
// emu/ReapWait.hpp), a FIFO readable exactly while a URB can be reaped, and
// every wait on the node waits on that FIFO instead. Closing the node closes
// the FIFO. A node whose handler does not know the request (or any error)
// leaves the node as umockdev made it: always ready.
//
// Limits: epoll events are told apart by their data, so a device node must not
// share its epoll data with another descriptor in the same epoll set; nodes
// are tracked by descriptor number below MaxTracked.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "emu/ReapWait.hpp"

namespace {

using quenfold::orvalis::emu::ReapSignalReply;
using quenfold::orvalis::emu::ReapSignalRequest;

constexpr int MaxTracked = 1 << 16;
// A descriptor's state: not looked at yet, being looked at, not a device
// node, or (any value above zero) a device node whose reap signal is the
// descriptor value - 1.
constexpr int Unknown = 0;
constexpr int Looking = -1;
constexpr int Plain = -2;
std::atomic<int> states[MaxTracked];

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

#define NEXT(name) \
    static const auto real = next<decltype(&::name)>(#name)

int realClose(int fd) {
    NEXT(close);
    return real(fd);
}

bool tracked(int fd) { return fd >= 0 && fd < MaxTracked; }

// Whether the descriptor is a file below the testbed's dev/bus/usb. The
// system calls are made directly: umockdev redirects the library functions.
bool isDeviceNode(int fd) {
    const char* root = std::getenv("UMOCKDEV_DIR");
    if (!root || !*root) {
        return false;
    }
    char link[64];
    char target[512];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    long length = syscall(SYS_readlinkat, AT_FDCWD, link, target, sizeof target - 1);
    if (length <= 0) {
        return false;
    }
    target[length] = '\0';
    std::size_t rootLength = std::strlen(root);
    return std::strncmp(target, root, rootLength) == 0 &&
           std::strncmp(target + rootLength, "/dev/bus/usb/", 13) == 0;
}

// The reap signal of a device node, or -1.
int openReapSignal(int fd) {
    ReapSignalReply reply{};
    // Through umockdev's ioctl, to the node's handler.
    if (ioctl(fd, ReapSignalRequest, &reply) != 0) {
        return -1;
    }
    reply.path[sizeof reply.path - 1] = '\0';
    int fifo = static_cast<int>(
        syscall(SYS_openat, AT_FDCWD, reply.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fifo >= 0) {
        syscall(SYS_unlinkat, AT_FDCWD, reply.path, 0);
    }
    return fifo;
}

// The reap signal to wait on in the descriptor's place, or -1 for a
// descriptor waited on as it is.
int signalOf(int fd) {
    if (!tracked(fd)) {
        return -1;
    }
    int state = states[fd].load(std::memory_order_acquire);
    if (state == Unknown && states[fd].compare_exchange_strong(state, Looking)) {
        int fifo = isDeviceNode(fd) ? openReapSignal(fd) : -1;
        state = fifo >= 0 && tracked(fifo) ? fifo + 1 : Plain;
        if (fifo >= 0 && state == Plain) {
            realClose(fifo);
        }
        states[fd].store(state, std::memory_order_release);
    }
    return state > 0 ? state - 1 : -1;
}

// Forgets what the descriptor was, before its number is free for reuse.
void forget(int fd) {
    if (!tracked(fd)) {
        return;
    }
    int state = states[fd].exchange(Unknown, std::memory_order_acq_rel);
    if (state > 0) {
        realClose(state - 1);
    }
}

// What a reap signal's poll events mean for the node it stands for.
short nodeEvents(short signalEvents, short wanted) {
    short events = 0;
    if (signalEvents & POLLIN) {
        events |= wanted & (POLLOUT | POLLWRNORM);
    }
    if (signalEvents & (POLLHUP | POLLERR)) {
        events |= POLLHUP | POLLERR;
    }
    return events | (signalEvents & POLLNVAL);
}

// Descriptors a wait asks about, with device nodes swapped for their reap
// signals; small sets stay on the stack.
class SwappedSet {
  public:
    SwappedSet(const pollfd* fds, nfds_t count) : count_(count) {
        if (count > Inline) {
            heap_.resize(count);
        }
        pollfd* swapped = data();
        for (nfds_t i = 0; i < count; ++i) {
            swapped[i] = fds[i];
            int fifo = signalOf(fds[i].fd);
            if (fifo >= 0) {
                any_ = true;
                swapped[i].fd = fifo;
                swapped[i].events = (fds[i].events & (POLLOUT | POLLWRNORM)) ? POLLIN : 0;
            }
        }
    }
    bool anyNode() const { return any_; }
    pollfd* data() { return count_ > Inline ? heap_.data() : inline_; }

    // Copies the outcome back, node events translated; returns the count of
    // descriptors with events.
    int copyBack(pollfd* fds) {
        const pollfd* swapped = data();
        int ready = 0;
        for (nfds_t i = 0; i < count_; ++i) {
            short events = swapped[i].revents;
            if (swapped[i].fd != fds[i].fd) {
                events = nodeEvents(events, fds[i].events);
            }
            fds[i].revents = events;
            ready += events != 0;
        }
        return ready;
    }

  private:
    static constexpr nfds_t Inline = 16;
    nfds_t count_;
    bool any_ = false;
    pollfd inline_[Inline];
    std::vector<pollfd> heap_;
};

int swappedPoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask,
                bool* swapped) {
    NEXT(ppoll);
    SwappedSet set(fds, count);
    *swapped = set.anyNode();
    if (!set.anyNode()) {
        return -2;
    }
    int result = real(set.data(), count, timeout, mask);
    return result < 0 ? result : set.copyBack(fds);
}

// select and pselect, by way of ppoll when a device node is among the sets.
int selectAsPoll(int count, fd_set* readFds, fd_set* writeFds, fd_set* exceptFds,
                 const timespec* timeout, const sigset_t* mask, bool* swapped) {
    *swapped = false;
    std::vector<pollfd> fds;
    bool anyNode = false;
    for (int fd = 0; fd < count && fd < FD_SETSIZE; ++fd) {
        short events = 0;
        if (readFds && FD_ISSET(fd, readFds)) {
            events |= POLLIN;
        }
        if (writeFds && FD_ISSET(fd, writeFds)) {
            events |= POLLOUT;
        }
        if (exceptFds && FD_ISSET(fd, exceptFds)) {
            events |= POLLPRI;
        }
        if (events != 0) {
            anyNode = anyNode || signalOf(fd) >= 0;
            fds.push_back({fd, events, 0});
        }
    }
    if (!anyNode) {
        return -2;
    }
    *swapped = true;
    bool ignored = false;
    int result = swappedPoll(fds.data(), fds.size(), timeout, mask, &ignored);
    if (result < 0) {
        return result;
    }
    int ready = 0;
    for (const pollfd& entry : fds) {
        auto report = [&](fd_set* set, short events) {
            if (!set) {
                return;
            }
            if (entry.revents & events) {
                ++ready;
            } else {
                FD_CLR(entry.fd, set);
            }
        };
        report(readFds, POLLIN | POLLHUP | POLLERR);
        report(writeFds, POLLOUT | POLLERR);
        report(exceptFds, POLLPRI);
    }
    return ready;
}

timespec fromMilliseconds(int milliseconds) {
    return {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
}

timespec fromTimeval(const timeval& value) {
    return {value.tv_sec, value.tv_usec * 1000L};
}

// Device nodes in epoll sets: the set, the node and the data they were added
// with, to translate their events back.
struct EpollNode {
    int epfd;
    int fd;
    epoll_data_t data;
    std::uint32_t wanted;
};
std::mutex epollMutex;
std::vector<EpollNode> epollNodes;
std::atomic<bool> anyEpollNode{false};

void translateEpoll(int epfd, epoll_event* events, int count) {
    if (count <= 0 || !anyEpollNode.load(std::memory_order_acquire)) {
        return;
    }
    std::lock_guard lock(epollMutex);
    for (int i = 0; i < count; ++i) {
        for (const EpollNode& node : epollNodes) {
            if (node.epfd == epfd && node.data.u64 == events[i].data.u64) {
                std::uint32_t signal = events[i].events;
                std::uint32_t translated = 0;
                if (signal & EPOLLIN) {
                    translated |= node.wanted & (EPOLLOUT | EPOLLWRNORM);
                }
                if (signal & (EPOLLHUP | EPOLLERR)) {
                    translated |= EPOLLHUP | EPOLLERR;
                }
                events[i].events = translated;
                break;
            }
        }
    }
}

void forgetEpoll(int fd) {
    if (!anyEpollNode.load(std::memory_order_acquire)) {
        return;
    }
    std::lock_guard lock(epollMutex);
    for (auto it = epollNodes.begin(); it != epollNodes.end();) {
        it = it->fd == fd || it->epfd == fd ? epollNodes.erase(it) : it + 1;
    }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int poll(pollfd* fds, nfds_t count, int timeout) {
    NEXT(poll);
    timespec limit = fromMilliseconds(timeout);
    bool swapped = false;
    int result = swappedPoll(fds, count, timeout < 0 ? nullptr : &limit, nullptr, &swapped);
    return swapped ? result : real(fds, count, timeout);
}

__attribute__((visibility("default"))) int ppoll(pollfd* fds, nfds_t count,
                                                 const timespec* timeout, const sigset_t* mask) {
    NEXT(ppoll);
    bool swapped = false;
    int result = swappedPoll(fds, count, timeout, mask, &swapped);
    return swapped ? result : real(fds, count, timeout, mask);
}

__attribute__((visibility("default"))) int select(int count, fd_set* readFds, fd_set* writeFds,
                                                  fd_set* exceptFds, timeval* timeout) {
    NEXT(select);
    timespec limit = timeout ? fromTimeval(*timeout) : timespec{};
    bool swapped = false;
    int result = selectAsPoll(count, readFds, writeFds, exceptFds, timeout ? &limit : nullptr,
                              nullptr, &swapped);
    return swapped ? result : real(count, readFds, writeFds, exceptFds, timeout);
}

__attribute__((visibility("default"))) int pselect(int count, fd_set* readFds, fd_set* writeFds,
                                                   fd_set* exceptFds, const timespec* timeout,
                                                   const sigset_t* mask) {
    NEXT(pselect);
    bool swapped = false;
    int result = selectAsPoll(count, readFds, writeFds, exceptFds, timeout, mask, &swapped);
    return swapped ? result : real(count, readFds, writeFds, exceptFds, timeout, mask);
}

__attribute__((visibility("default"))) int epoll_ctl(int epfd, int op, int fd,
                                                     epoll_event* event) {
    NEXT(epoll_ctl);
    int fifo = signalOf(fd);
    if (fifo < 0) {
        return real(epfd, op, fd, event);
    }
    epoll_event swapped{};
    if (event) {
        swapped = *event;
        std::uint32_t flags = event->events & ~(EPOLLIN | EPOLLOUT | EPOLLRDNORM | EPOLLWRNORM |
                                                EPOLLPRI | EPOLLRDHUP);
        swapped.events =
            flags | ((event->events & (EPOLLOUT | EPOLLWRNORM)) ? std::uint32_t{EPOLLIN} : 0);
    }
    int result = real(epfd, op, fifo, event ? &swapped : nullptr);
    if (result == 0) {
        std::lock_guard lock(epollMutex);
        for (auto it = epollNodes.begin(); it != epollNodes.end();) {
            it = it->epfd == epfd && it->fd == fd ? epollNodes.erase(it) : it + 1;
        }
        if (op != EPOLL_CTL_DEL && event) {
            epollNodes.push_back({epfd, fd, event->data, event->events});
            anyEpollNode.store(true, std::memory_order_release);
        }
    }
    return result;
}

__attribute__((visibility("default"))) int epoll_wait(int epfd, epoll_event* events, int count,
                                                      int timeout) {
    NEXT(epoll_wait);
    int result = real(epfd, events, count, timeout);
    translateEpoll(epfd, events, result);
    return result;
}

__attribute__((visibility("default"))) int epoll_pwait(int epfd, epoll_event* events, int count,
                                                       int timeout, const sigset_t* mask) {
    NEXT(epoll_pwait);
    int result = real(epfd, events, count, timeout, mask);
    translateEpoll(epfd, events, result);
    return result;
}

__attribute__((visibility("default"))) int close(int fd) {
    forget(fd);
    forgetEpoll(fd);
    return realClose(fd);
}

__attribute__((visibility("default"))) int dup2(int from, int to) {
    NEXT(dup2);
    if (from != to) {
        forget(to);
    }
    return real(from, to);
}

__attribute__((visibility("default"))) int dup3(int from, int to, int flags) {
    NEXT(dup3);
    forget(to);
    return real(from, to, flags);
}

}  // extern "C"
