#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace quenfold::orvalis {

// A URI that the grammar or the options refuse. The message quotes the
// caller's text, which may hold any bytes, NUL included: what() ends at the
// first NUL, text() keeps them all.
class InvalidUri : public std::runtime_error {
  public:
    explicit InvalidUri(const std::string& message)
        : std::runtime_error(message), text_(std::make_shared<const std::string>(message)) {}

    const std::string& text() const noexcept { return *text_; }

  private:
    // Shared, so that copying the exception cannot throw.
    std::shared_ptr<const std::string> text_;
};

}  // namespace quenfold::orvalis
