#pragma once

#include <glib-object.h>

#include <utility>

namespace quenfold::orvalis::emu {

// Owns one reference to a GObject and drops it when it goes.
template <typename T>
class GObjectRef {
  public:
    GObjectRef() = default;
    // Takes over a reference the caller owns (a "transfer full" result).
    static GObjectRef adopt(T* object) {
        GObjectRef ref;
        ref.object_ = object;
        return ref;
    }
    // Takes a reference of its own on an object the caller only borrows.
    static GObjectRef share(T* object) {
        return adopt(object ? static_cast<T*>(g_object_ref(object)) : nullptr);
    }

    GObjectRef(GObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    GObjectRef& operator=(GObjectRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    GObjectRef(const GObjectRef&) = delete;
    GObjectRef& operator=(const GObjectRef&) = delete;
    ~GObjectRef() { reset(); }

    void reset() {
        if (object_) {
            g_object_unref(std::exchange(object_, nullptr));
        }
    }
    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    T* object_ = nullptr;
};

}  // namespace quenfold::orvalis::emu
