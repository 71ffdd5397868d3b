#include "usb/StandingRead.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

#include "usb/USBError.hpp"

namespace quenfold::orvalis {
namespace {

constexpr int Ended = 1;
constexpr int Woken = 2;
// A wait slice: on a device whose events wake the poll it only bounds how
// long a missed wake-up could last; nothing relies on it.
constexpr long WaitSliceUs = 100000;

int load(const int& state) noexcept {
    return __atomic_load_n(&state, __ATOMIC_SEQ_CST);
}

void set(int& state, int bits) noexcept {
    __atomic_fetch_or(&state, bits, __ATOMIC_SEQ_CST);
}

void reset(int& state, int bits) noexcept {
    __atomic_fetch_and(&state, ~bits, __ATOMIC_SEQ_CST);
}

// The error code libusb's synchronous transfers give for a transfer's end.
int errorOf(libusb_transfer_status status) noexcept {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
        case LIBUSB_TRANSFER_CANCELLED:
            return LIBUSB_SUCCESS;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_ERROR:
            return LIBUSB_ERROR_IO;
    }
    return LIBUSB_ERROR_OTHER;
}

libusb_transfer* allocateTransfer() {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) {
        throw std::bad_alloc();
    }
    return transfer;
}

}  // namespace

StandingRead::StandingRead(libusb_context* context, libusb_device_handle* handle,
                           std::uint8_t endpoint, std::uint32_t length)
    : context_(context),
      buffer_(std::make_unique<std::uint8_t[]>(length)),
      transfer_(allocateTransfer()) {
    // No time-out: the transfer waits for the device as long as it takes.
    libusb_fill_bulk_transfer(transfer_.get(), handle, endpoint, buffer_.get(),
                              static_cast<int>(length), &StandingRead::transferEnded, this, 0);
}

StandingRead::~StandingRead() {
    cancel();
}

void StandingRead::keep() {
    if (submitted_) {
        return;
    }
    // Nothing else writes the state now: the transfer is not in flight and
    // no signal holds this as its waker.
    __atomic_store_n(&state_, 0, __ATOMIC_SEQ_CST);
    int result = libusb_submit_transfer(transfer_.get());
    if (result != LIBUSB_SUCCESS) {
        throwUSBError(result);
    }
    submitted_ = true;
}

bool StandingRead::ended() const noexcept {
    return submitted_ && (load(state_) & Ended) != 0;
}

void StandingRead::await(WorkSignal& signal) {
    // Woken is cleared before Ended is looked at, and the callback sets Ended
    // in the same step as it wakes: an end that comes after the look leaves
    // the flag that libusb watches set.
    keep();
    reset(state_, Woken);
    if ((load(state_) & Ended) != 0 || !signal.arm(*this)) {
        return;
    }
    struct Disarm {
        WorkSignal& signal;
        ~Disarm() { signal.disarm(); }
    } disarm{signal};
    while (load(state_) == 0) {
        timeval slice{0, WaitSliceUs};
        int result = libusb_handle_events_timeout_completed(context_, &slice, &state_);
        // Interrupted: by a wake() of this or another worker sharing the context.
        if (result != LIBUSB_SUCCESS && result != LIBUSB_ERROR_INTERRUPTED) {
            throwUSBError(result);
        }
    }
}

std::uint64_t StandingRead::take(std::uint8_t* buffer) {
    submitted_ = false;
    int error = errorOf(transfer_->status);
    if (error != LIBUSB_SUCCESS) {
        throwUSBError(error);
    }
    std::memcpy(buffer, buffer_.get(), static_cast<std::size_t>(transfer_->actual_length));
    return static_cast<std::uint64_t>(transfer_->actual_length);
}

void StandingRead::cancel() noexcept {
    if (!submitted_ || (load(state_) & Ended) != 0) {
        return;
    }
    // Fails only when the transfer is ending anyway (or the device is gone,
    // which ends it too); either way its callback is still to come.
    libusb_cancel_transfer(transfer_.get());
    awaitEnd();
}

void StandingRead::awaitEnd() noexcept {
    reset(state_, Woken);
    while ((load(state_) & Ended) == 0) {
        timeval slice{0, WaitSliceUs};
        libusb_handle_events_timeout_completed(context_, &slice, &state_);
    }
}

void StandingRead::wake() noexcept {
    // Set under the lock of libusb's event waiters, which look at the flag
    // under it before they sleep; the interruption then ends the wait of
    // whichever thread handles the events, and with it the sleep of waiters.
    libusb_lock_event_waiters(context_);
    set(state_, Woken);
    libusb_unlock_event_waiters(context_);
    libusb_interrupt_event_handler(context_);
}

void LIBUSB_CALL StandingRead::transferEnded(libusb_transfer* transfer) {
    // The last touch of the object: once Ended is seen, its owner may free it.
    set(static_cast<StandingRead*>(transfer->user_data)->state_, Ended);
}

}  // namespace quenfold::orvalis
