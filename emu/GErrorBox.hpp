#pragma once

#include <glib.h>

#include <stdexcept>
#include <string>

namespace quenfold::orvalis::emu {

// Receives a GError from a GLib call and frees it; `check` turns a failure
// into an exception naming what was being done.
class GErrorBox {
  public:
    GErrorBox() = default;
    GErrorBox(const GErrorBox&) = delete;
    GErrorBox& operator=(const GErrorBox&) = delete;
    ~GErrorBox() { g_clear_error(&error_); }

    GError** out() {
        g_clear_error(&error_);
        return &error_;
    }

    void check(bool ok, const std::string& what) const {
        if (!ok) {
            throw std::runtime_error(what + ": " + (error_ ? error_->message : "failed"));
        }
    }

  private:
    GError* error_ = nullptr;
};

}  // namespace quenfold::orvalis::emu
