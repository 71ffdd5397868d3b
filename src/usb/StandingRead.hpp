#pragma once

#include <libusb.h>

#include <cstdint>
#include <memory>

#include "base/WorkSignal.hpp"

namespace quenfold::orvalis {

// A bulk IN transfer kept in flight, so that a packet the device sends lands
// as soon as it is sent, and a wait for it that a raised work signal ends at
// once (a send does not wait out a read's time-out).
//
// The context's events may be handled by any thread that uses it: the
// transfer's end is recorded by whichever thread runs its callback, and the
// owner waits for it in libusb_handle_events_timeout_completed. The transfer
// is never freed while in flight: the destructor cancels it and handles
// events until its callback has run.
class StandingRead final : public WorkSignal::Waker {
  public:
    StandingRead(libusb_context* context, libusb_device_handle* handle, std::uint8_t endpoint,
                 std::uint32_t length);
    ~StandingRead();
    StandingRead(const StandingRead&) = delete;
    StandingRead& operator=(const StandingRead&) = delete;

    // Starts the transfer unless it is in flight or its end is not taken
    // yet; throws the failure by name (see throwUSBError).
    void keep();
    // Whether the transfer has ended and what it brought waits for take().
    bool ended() const noexcept;
    // Starts the transfer when needed (keep()), then handles the context's
    // events until it ends or the signal is raised (at once when either
    // happened already). A failure to handle events is thrown by name.
    void await(WorkSignal& signal);
    // Copies what the ended transfer brought into the buffer (at most the
    // length given at construction) and returns the count of bytes; its
    // failure (a stall, a vanished device) is thrown by name instead. A
    // transfer ended by cancel() counts what arrived before the cancellation.
    // Until the next keep() nothing is read.
    std::uint64_t take(std::uint8_t* buffer);
    // Ends the transfer in flight, if any, and waits until it has; what it
    // brought can then be taken.
    void cancel() noexcept;

    void wake() noexcept override;

  private:
    static void LIBUSB_CALL transferEnded(libusb_transfer* transfer);
    // Handles events until the transfer has ended; errors only retry, as a
    // transfer in flight cannot be let go.
    void awaitEnd() noexcept;

    struct TransferFree {
        void operator()(libusb_transfer* transfer) const { libusb_free_transfer(transfer); }
    };

    libusb_context* const context_;
    const std::unique_ptr<std::uint8_t[]> buffer_;
    const std::unique_ptr<libusb_transfer, TransferFree> transfer_;
    bool submitted_ = false;  // and not taken since; used by the owner's thread only
    // Bits Ended and Woken. Written by the transfer's callback, on whatever
    // thread handles the events, and by wake(); libusb reads it as the
    // "completed" flag of its event waits. An int because that is what
    // libusb takes; always accessed through atomic builtins.
    int state_ = 0;
};

}  // namespace quenfold::orvalis
