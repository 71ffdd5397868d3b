#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace quenfold::orvalis::emu {

// Calls back the devices whose paced transfers come due, so that a client
// waiting on a node (see ReapWait.hpp) is woken when usbfs would wake it: the
// handler never waits, and nothing else happens on the node at that moment.
// One thread for the process, started when first needed; each device has at
// most one call pending.
class DueTimer {
  public:
    using Clock = std::chrono::steady_clock;

    class Client {
      public:
        // Runs on the timer's thread, without the timer's lock.
        virtual void due() = 0;

      protected:
        ~Client() = default;
    };

    // Shared by the devices of the process; it ends with the last of them.
    static std::shared_ptr<DueTimer> shared();

    DueTimer() = default;
    DueTimer(const DueTimer&) = delete;
    DueTimer& operator=(const DueTimer&) = delete;
    ~DueTimer();

    // Calls `client` at `when` or soon after, in place of a call it had pending.
    void schedule(Client* client, Clock::time_point when);
    // Once it returns, no call into `client` is running or will start.
    void cancel(Client* client);

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<std::pair<Clock::time_point, Client*>> queue_;
    std::map<Client*, Clock::time_point> pending_;
    Client* calling_ = nullptr;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace quenfold::orvalis::emu
