#pragma once

#include <string>

namespace quenfold::orvalis {

// The text of the exception being handled, for a worker's error slots: the
// message of a standard exception, a fixed text for anything else. Never
// empty: an empty text stands for "no failure" in those slots, so an
// exception without a message gets the fixed text too. Call only inside a
// catch block.
std::string currentFailure();

}  // namespace quenfold::orvalis
