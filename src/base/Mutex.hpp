#pragma once

// A mutex whose users the compiler checks: clang's thread-safety analysis
// (-Wthread-safety) knows which fields each lock guards (GUARDED_BY), which
// functions need it held (REQUIRES) or must not hold it (EXCLUDES), and
// fails the build on an access without the lock. Other compilers see plain
// std::mutex and std::unique_lock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define ORVALIS_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORVALIS_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ORVALIS_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ORVALIS_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ORVALIS_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) ORVALIS_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) ORVALIS_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) ORVALIS_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ORVALIS_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ORVALIS_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// For the few accesses that a protocol other than a lock makes safe; each
// use says which.
#define NO_THREAD_SAFETY_ANALYSIS ORVALIS_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace quenfold::orvalis {

class MutexLock;

class CAPABILITY("mutex") Mutex {
  public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds a Mutex for its scope, and waits on condition variables with it.
// Waits take no predicate: callers loop on a condition that the analysis can
// see is read under the lock.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    // The same, setting `contended` first when another thread holds the mutex.
    MutexLock(Mutex& mutex, std::atomic<bool>& contended) ACQUIRE(mutex)
        : lock_(mutex.mutex_, std::try_to_lock) {
        if (!lock_.owns_lock()) {
            contended.store(true, std::memory_order_relaxed);
            lock_.lock();
        }
    }
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Lets go before the end of the scope, and takes it again.
    void unlock() RELEASE() { lock_.unlock(); }
    void lock() ACQUIRE() { lock_.lock(); }

    void wait(std::condition_variable& condition) { condition.wait(lock_); }
    // Returns false once `until` has passed.
    bool waitUntil(std::condition_variable& condition,
                   std::chrono::steady_clock::time_point until) {
        return condition.wait_until(lock_, until) == std::cv_status::no_timeout;
    }

  private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace quenfold::orvalis
