#pragma once

#include <utility>

namespace quenfold::orvalis {

// Holds an object that is built once and never destroyed, for state that
// threads the program never stopped may still use while the process exits.
template <typename T>
class NeverDestroyed {
  public:
    template <typename... Args>
    explicit NeverDestroyed(Args&&... args) : value_(std::forward<Args>(args)...) {}
    ~NeverDestroyed() {}  // value_ is left alone on purpose
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;

    T& get() noexcept { return value_; }

  private:
    union {
        T value_;
    };
};

}  // namespace quenfold::orvalis
