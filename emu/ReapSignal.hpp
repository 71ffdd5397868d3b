#pragma once

#include <memory>
#include <string>
#include <utility>

namespace quenfold::orvalis::emu {

// The handler's end of one client's reap signal (see ReapWait.hpp): a FIFO
// that holds one byte exactly while the client has a URB to reap. Only the
// testbed's thread and the engine's mutex holders touch it.
class ReapSignal {
  public:
    // A new FIFO in `folder`; null when it cannot be made.
    static std::unique_ptr<ReapSignal> create(const std::string& folder);
    // Takes over an open FIFO.
    ReapSignal(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ReapSignal(const ReapSignal&) = delete;
    ReapSignal& operator=(const ReapSignal&) = delete;
    // Closing our end shows the client a hang-up.
    ~ReapSignal();

    const std::string& path() const { return path_; }
    // Puts the byte in or takes it out; nothing when it already is as asked.
    void set(bool reapable);

  private:
    int fd_;
    std::string path_;
    bool reapable_ = false;
};

}  // namespace quenfold::orvalis::emu
