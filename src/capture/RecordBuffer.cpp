#include "capture/RecordBuffer.hpp"

#include <utility>

namespace quenfold::orvalis::capture {

RecordBuffer::RecordBuffer(std::size_t capacity) : capacity_(capacity) {
    MutexLock lock(mutex_);  // nobody else has the buffer yet
    records_.reserve(capacity_);
}

void RecordBuffer::push(const CaptureRecord& record) {
    MutexLock lock(mutex_);
    if (records_.size() == capacity_) {
        ++dropped_;
        return;
    }
    records_.push_back(record);
}

std::uint64_t RecordBuffer::take(std::vector<CaptureRecord>& taken) {
    MutexLock lock(mutex_);
    records_.swap(taken);
    return std::exchange(dropped_, 0);
}

}  // namespace quenfold::orvalis::capture
