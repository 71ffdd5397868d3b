#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "emu/Air.hpp"
#include "emu/RadioSettings.hpp"
#include "emu/USBFunction.hpp"

namespace quenfold::orvalis::emu {

// The Skelder dongle's firmware: vendor requests tune its radio, each bulk OUT
// goes over the air, and the answer (status byte, then the acknowledgement
// payload) waits for the next bulk IN, until the next bulk OUT replaces it.
// Thread-safe.
class DongleFirmware : public USBFunction {
  public:
    explicit DongleFirmware(Air& air);

    bool vendorRequest(const ControlRecord& request) override;
    bool acceptOut(const Bytes& packet) override;
    std::optional<Bytes> takeIn() override;
    // The air time of the data rate it is tuned to.
    Pacing::Duration exchangeTime(const Pacing& pacing) const override;
    // Bus powered: it forgets its radio settings and its unread answers.
    void unplugged() override;

    RadioSettings settings() const;
    bool enabled() const;
    // A dongle that stops answering drops what it is sent and never answers.
    void stopAnswering(bool stop);
    // Stands in for the air's answer to the next bulk OUT, byte for byte.
    void queueRawAnswer(Bytes bytes);

  private:
    Air& air_;
    mutable std::mutex mutex_;
    RadioSettings settings_;
    bool enabled_ = true;
    bool silent_ = false;
    std::deque<Bytes> rawAnswers_;
    std::deque<Bytes> answers_;
};

}  // namespace quenfold::orvalis::emu
