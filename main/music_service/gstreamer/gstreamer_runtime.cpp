#include "music_service/gstreamer/gstreamer_runtime.h"

#include "music_service/gstreamer/gst_ref.h"

namespace tolvane {

namespace {

void dropLogMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

GLogWriterOutput dropStructuredLogMessage(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}

// GLib and GStreamer report to standard error by default, and GST_DEBUG in the environment turns on
// GStreamer's debug log there. A running helper writes nothing to standard error, so all of it goes.
void silenceLibraries() {
  g_log_set_default_handler(dropLogMessage, nullptr);
  // Once per process: GLib refuses a second writer (and says so on standard error).
  static const bool writerSet = [] {
    g_log_set_writer_func(dropStructuredLogMessage, nullptr, nullptr);
    return true;
  }();
  (void)writerSet;
  gst_debug_remove_log_function(nullptr);
  gst_debug_set_active(FALSE);
}

}  // namespace

GStreamerRuntime::GStreamerRuntime(RunLoop& loop) : loop_(loop) {
  worker_.post([&loop = loop_, alive = std::weak_ptr<bool>(alive_), this] {
    silenceLibraries();
    GError* failure = nullptr;
    Result<void> outcome;
    if (!gst_init_check(nullptr, nullptr, &failure)) {
      GErrorRef error(failure);
      outcome = error ? errorOf(*error) : playerError(PlayerError::noGStreamer, "GStreamer cannot be initialised");
    }
    silenceLibraries();  // gst_init reads GST_DEBUG and may have turned the log on again
    loop.post([alive, this, outcome = std::move(outcome)] {
      if (!alive.lock()) return;
      outcome_ = outcome;
      for (const ReadyHandler& handler : std::exchange(waiting_, {})) handler(*outcome_);
    });
  });
}

GStreamerRuntime::~GStreamerRuntime() = default;

void GStreamerRuntime::whenReady(ReadyHandler handler) {
  if (outcome_) {
    handler(*outcome_);
  } else {
    waiting_.push_back(std::move(handler));
  }
}

}  // namespace tolvane
