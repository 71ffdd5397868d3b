#include "base/CurrentFailure.hpp"

#include <exception>

namespace quenfold::orvalis {

std::string currentFailure() {
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "Unknown error in the link worker";
    }
}

}  // namespace quenfold::orvalis
