// The devices' timer: what paced transfers rely on to wake a waiting client.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "emu/DueTimer.hpp"

namespace quenfold::orvalis::emu {
namespace {

using namespace std::chrono_literals;

// Records its calls; waits for them with a bound.
class Recorder : public DueTimer::Client {
  public:
    explicit Recorder(int id, std::vector<int>& order, std::mutex& mutex,
                      std::condition_variable& changed)
        : id_(id), order_(order), mutex_(mutex), changed_(changed) {}
    void due() override {
        std::lock_guard lock(mutex_);
        order_.push_back(id_);
        changed_.notify_all();
    }

  private:
    int id_;
    std::vector<int>& order_;
    std::mutex& mutex_;
    std::condition_variable& changed_;
};

class DueTimerTest : public ::testing::Test {
  protected:
    bool waitForCalls(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 20s, [&] { return order.size() >= count; });
    }

    std::vector<int> order;
    std::mutex mutex;
    std::condition_variable changed;
    DueTimer timer;
};

TEST_F(DueTimerTest, CallsComeInTimeOrderAndALaterRequestReplacesAnEarlierOne) {
    Recorder first(1, order, mutex, changed);
    Recorder second(2, order, mutex, changed);
    auto now = DueTimer::Clock::now();
    timer.schedule(&first, now + 1h);
    timer.schedule(&second, now + 30ms);
    // Replaced: no call an hour from now, one soon after the second's.
    timer.schedule(&first, now + 60ms);
    ASSERT_TRUE(waitForCalls(2)) << "the timer never called";
    std::lock_guard lock(mutex);
    EXPECT_EQ(order, (std::vector<int>{2, 1}));
}

TEST_F(DueTimerTest, ACancelledClientIsNotCalled) {
    Recorder gone(1, order, mutex, changed);
    Recorder kept(2, order, mutex, changed);
    auto now = DueTimer::Clock::now();
    timer.schedule(&gone, now + 10ms);
    timer.schedule(&kept, now + 50ms);
    timer.cancel(&gone);
    ASSERT_TRUE(waitForCalls(1)) << "the timer never called";
    timer.cancel(&kept);
    std::lock_guard lock(mutex);
    EXPECT_EQ(order, (std::vector<int>{2}));
}

}  // namespace
}  // namespace quenfold::orvalis::emu
