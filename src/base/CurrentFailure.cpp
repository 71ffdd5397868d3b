#include "base/CurrentFailure.hpp"

#include <exception>

namespace quenfold::orvalis {
namespace {

constexpr const char* UnknownFailure = "Unknown error in the link worker";

}  // namespace

std::string currentFailure() {
    try {
        throw;
    } catch (const std::exception& error) {
        std::string text = error.what();
        return text.empty() ? UnknownFailure : text;
    } catch (...) {
        return UnknownFailure;
    }
}

}  // namespace quenfold::orvalis
