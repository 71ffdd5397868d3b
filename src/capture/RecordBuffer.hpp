#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/Mutex.hpp"
#include "capture/CaptureRecord.hpp"

namespace quenfold::orvalis::capture {

// The bounded hand-over between the threads that make records and the one
// that writes them. A producer holds the lock only to copy one record in; the
// writer only to swap the filled storage for its empty one. A full buffer
// drops the record and counts it: the producer never waits for the writer.
class RecordBuffer {
  public:
    explicit RecordBuffer(std::size_t capacity);

    void push(const CaptureRecord& record) EXCLUDES(mutex_);

    // Swaps everything pushed so far into `taken`, which must be empty and
    // have the buffer's capacity; returns how many were dropped since the
    // last take.
    std::uint64_t take(std::vector<CaptureRecord>& taken) EXCLUDES(mutex_);

    std::size_t capacity() const noexcept { return capacity_; }

  private:
    const std::size_t capacity_;
    Mutex mutex_;
    std::vector<CaptureRecord> records_ GUARDED_BY(mutex_);
    std::uint64_t dropped_ GUARDED_BY(mutex_) = 0;
};

}  // namespace quenfold::orvalis::capture
