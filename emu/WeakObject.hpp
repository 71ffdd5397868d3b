#pragma once

#include <glib-object.h>

namespace quenfold::orvalis::emu {

// A weak reference to a GObject: it tells whether an object is still the one
// it was made for, even once a new object got the old one's address.
class WeakObject {
  public:
    explicit WeakObject(gpointer object) { g_weak_ref_init(&ref_, object); }
    ~WeakObject() { g_weak_ref_clear(&ref_); }
    WeakObject(const WeakObject&) = delete;
    WeakObject& operator=(const WeakObject&) = delete;

    // The object while it lives, with a reference the caller drops
    // (g_object_unref), or null once it was finalized.
    GObject* take() { return static_cast<GObject*>(g_weak_ref_get(&ref_)); }

  private:
    GWeakRef ref_;
};

}  // namespace quenfold::orvalis::emu
