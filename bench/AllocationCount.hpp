#pragma once

namespace quenfold::orvalis::bench {

// Every C++ allocation of the process so far, its worker threads' included.
// Linking AllocationCount.cpp replaces the global operator new to count them.
long allocationCount() noexcept;

}  // namespace quenfold::orvalis::bench
