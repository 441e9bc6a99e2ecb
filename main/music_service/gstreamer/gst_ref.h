#pragma once

// Owning handles for GStreamer's and GLib's C objects: each releases its one reference (or its
// memory) when it goes, and moves but never copies. Take a C object into one of these at the call
// that returns it; code above this layer never unrefs or frees by hand.

#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/error.h"

namespace tolvane {

namespace detail {
struct GstObjectUnref {
  void operator()(gpointer object) const { gst_object_unref(object); }
};
struct GstMessageUnref {
  void operator()(GstMessage* message) const { gst_message_unref(message); }
};
struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
}  // namespace detail

// One reference to a GstObject (an element, a bin, a pad, a bus).
template <typename T>
using GstRef = std::unique_ptr<T, detail::GstObjectUnref>;

// Takes a reference returned as "transfer full".
template <typename T>
GstRef<T> adoptRef(T* object) {
  return GstRef<T>(object);
}
// Takes a new reference of `object`, sinking a floating one (what element factories return).
template <typename T>
GstRef<T> sinkRef(T* object) {
  return GstRef<T>(object ? static_cast<T*>(gst_object_ref_sink(object)) : nullptr);
}

using GstMessageRef = std::unique_ptr<GstMessage, detail::GstMessageUnref>;
using GErrorRef = std::unique_ptr<GError, detail::GErrorFree>;

// The player's own errors, for what GStreamer does not report itself.
inline constexpr const char* playerErrorDomain = "tolvane.player";
enum class PlayerError : std::int64_t {
  emptyQueue = 1,   // nothing to play
  noGStreamer = 2,  // GStreamer, or a plugin the player needs, is missing
  noOutput = 3,     // the audio output cannot be made or opened, and GStreamer said nothing more
  noFile = 4,       // the entry has no file
  failed = 5,       // playback failed, and GStreamer said nothing more
};
inline Error playerError(PlayerError code, std::string text) {
  return Error{playerErrorDomain, static_cast<std::int64_t>(code), std::move(text)};
}

// A GLib error as the helper's error value: GStreamer's domain (its quark's name), code and message.
inline Error errorOf(const GError& error) {
  return Error{g_quark_to_string(error.domain), error.code, error.message ? error.message : ""};
}

}  // namespace tolvane
