#include "workers/WorkerThread.hpp"

#include "base/CurrentFailure.hpp"

namespace quenfold::orvalis {

WorkerThread::WorkerThread(EndHandler onEnd) : onEnd_(std::move(onEnd)) {}

WorkerThread::~WorkerThread() {
    stop();
}

bool WorkerThread::start(std::function<void()> body) {
    MutexLock lock(threadMutex_);
    if (thread_.joinable() || failed()) {
        return false;
    }
    running_ = true;
    try {
        thread_ = std::thread(&WorkerThread::run, this, std::move(body));
    } catch (...) {
        running_ = false;
        throw;
    }
    return true;
}

void WorkerThread::stop() {
    MutexLock lock(threadMutex_);
    if (!thread_.joinable()) {
        return;
    }
    stopRequested_ = true;
    signal_->raise();
    thread_.join();
    thread_ = std::thread();
    stopRequested_ = false;
}

bool WorkerThread::failed() const {
    MutexLock lock(errorMutex_);
    return !errorMessage_.empty();
}

std::string WorkerThread::errorMessage() const {
    MutexLock lock(errorMutex_);
    return errorMessage_;
}

void WorkerThread::run(const std::function<void()>& body) {
    std::string failure;
    try {
        body();
    } catch (...) {
        failure = currentFailure();
    }
    try {
        if (!failure.empty()) {
            // Before the end handler: whoever gives the worker a connection
            // after this point finds the error here (see the owners' attach).
            MutexLock lock(errorMutex_);
            errorMessage_ = failure;
        }
    } catch (...) {
        // Out of memory for the text: the end handler still tells what it can.
    }
    running_ = false;
    try {
        onEnd_(failure);
    } catch (...) {
        // Nothing is left to tell; a worker thread never lets an exception out.
    }
}

}  // namespace quenfold::orvalis
