#include "base/TaskPool.hpp"

namespace quenfold::orvalis {

TaskPool::TaskPool(std::size_t threads) {
    try {
        for (std::size_t i = 0; i < threads; ++i) {
            threads_.emplace_back(&TaskPool::work, this);
        }
    } catch (...) {
        // Whatever threads did start are enough, but none may be left running.
        if (threads_.empty()) {
            throw;
        }
    }
}

TaskPool::~TaskPool() {
    {
        MutexLock lock(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void TaskPool::enqueue(std::function<void()> task) {
    {
        MutexLock lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void TaskPool::work() {
    for (;;) {
        std::function<void()> task;
        {
            MutexLock lock(mutex_);
            while (!closing_ && tasks_.empty()) {
                lock.wait(wake_);
            }
            if (tasks_.empty()) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();  // a packaged task keeps its exception for the future
    }
}

}  // namespace quenfold::orvalis
