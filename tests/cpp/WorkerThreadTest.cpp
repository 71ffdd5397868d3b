#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "workers/WorkerThread.hpp"

namespace quenfold::orvalis {
namespace {

// A worker body as both workers write theirs: it waits for work until a stop
// is requested, and fails when told to.
struct Worker {
    std::vector<std::string> ends;
    std::promise<void> started;
    std::atomic<bool> failNow{false};
    WorkerThread thread{[this](const std::string& failure) { ends.push_back(failure); }};

    std::function<void()> body() {
        return [this] {
            started.set_value();
            for (;;) {
                thread.signal()->clear();
                if (failNow) {
                    throw std::runtime_error("LIBUSB_ERROR_NO_DEVICE");
                }
                if (thread.stopRequested()) {
                    return;
                }
                thread.signal()->wait();
            }
        };
    }

    void startAndAwait() {
        started = std::promise<void>();
        ASSERT_TRUE(thread.start(body()));
        started.get_future().wait();
    }
};

// A bound far beyond any normal delay, for waits that a fault would make
// endless: the test fails with a message instead of hanging.
constexpr std::chrono::seconds Bound{20};

TEST(WorkerThread, StopWakesAWaitingBodyAndAllowsARestart) {
    Worker worker;
    worker.startAndAwait();
    EXPECT_TRUE(worker.thread.running());
    EXPECT_FALSE(worker.thread.start(worker.body()));  // one thread at a time
    // The body waits for its signal: only a stop that raises it ends the wait.
    std::future<void> stopped = std::async(std::launch::async, [&] { worker.thread.stop(); });
    if (stopped.wait_for(Bound) != std::future_status::ready) {
        worker.thread.signal()->raise();  // lets the stop finish
        stopped.wait();
        FAIL() << "stop did not wake the waiting body";
    }
    EXPECT_FALSE(worker.thread.running());
    EXPECT_FALSE(worker.thread.stopRequested());
    EXPECT_EQ(worker.ends, std::vector<std::string>{""});

    worker.startAndAwait();
    worker.thread.stop();
    worker.thread.stop();  // without a thread: nothing to do
    EXPECT_EQ(worker.ends, (std::vector<std::string>{"", ""}));
    EXPECT_FALSE(worker.thread.failed());
}

TEST(WorkerThread, FailureIsStoredHandedOnAndFinal) {
    Worker worker;
    worker.startAndAwait();
    worker.failNow = true;
    worker.thread.signal()->raise();
    // The ended thread stays until it is joined; the stop joins it at once.
    worker.thread.stop();
    EXPECT_EQ(worker.ends, std::vector<std::string>{"LIBUSB_ERROR_NO_DEVICE"});
    EXPECT_TRUE(worker.thread.failed());
    EXPECT_EQ(worker.thread.errorMessage(), "LIBUSB_ERROR_NO_DEVICE");

    // A failed worker starts nothing again, and keeps its error.
    worker.failNow = false;
    EXPECT_FALSE(worker.thread.start(worker.body()));
    EXPECT_FALSE(worker.thread.running());
    EXPECT_EQ(worker.thread.errorMessage(), "LIBUSB_ERROR_NO_DEVICE");
}

TEST(WorkerThread, ExceptionOfAnyKindEndsTheThreadWithAText) {
    std::string ended = "not ended";
    WorkerThread thread([&](const std::string& failure) { ended = failure; });
    ASSERT_TRUE(thread.start([] { throw 42; }));
    thread.stop();
    EXPECT_EQ(ended, "Unknown error in the link worker");
    EXPECT_TRUE(thread.failed());
}

// An exception whose text is empty is a failure all the same: its end must
// not read as a clean stop, which would fail none of the worker's connections.
TEST(WorkerThread, FailureWithAnEmptyTextIsNoCleanStop) {
    std::vector<std::string> ends;
    WorkerThread thread([&](const std::string& failure) { ends.push_back(failure); });
    ASSERT_TRUE(thread.start([] { throw std::runtime_error(""); }));
    thread.stop();
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0], "Unknown error in the link worker");
    EXPECT_TRUE(thread.failed());
    EXPECT_FALSE(thread.start([] {}));
}

TEST(WorkerThread, RaiseBeforeWaitIsNotLost) {
    WorkSignal signal;
    signal.raise();
    signal.wait();  // returns at once: the raise came after the last clear
    signal.clear();
    std::promise<void> waited;
    std::thread waiter([&] {
        signal.wait();
        waited.set_value();
    });
    signal.raise();
    bool woke = waited.get_future().wait_for(Bound) == std::future_status::ready;
    if (!woke) {
        signal.raise();  // lets the waiter go before the join
    }
    waiter.join();
    EXPECT_TRUE(woke) << "a raise did not wake the waiter";
}

}  // namespace
}  // namespace quenfold::orvalis
