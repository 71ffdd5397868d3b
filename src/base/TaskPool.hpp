#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "base/Mutex.hpp"

namespace quenfold::orvalis {

// A fixed set of threads that run submitted tasks in submission order. Its
// destructor runs what is left and joins every thread.
class TaskPool {
  public:
    explicit TaskPool(std::size_t threads);
    ~TaskPool() EXCLUDES(mutex_);
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    template <typename Result>
    std::future<Result> submit(std::function<Result()> task) {
        auto packaged = std::make_shared<std::packaged_task<Result()>>(std::move(task));
        std::future<Result> result = packaged->get_future();
        enqueue([packaged] { (*packaged)(); });
        return result;
    }

  private:
    void enqueue(std::function<void()> task) EXCLUDES(mutex_);
    void work() EXCLUDES(mutex_);

    Mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_ GUARDED_BY(mutex_);
    bool closing_ GUARDED_BY(mutex_) = false;
    std::vector<std::thread> threads_;
};

}  // namespace quenfold::orvalis
