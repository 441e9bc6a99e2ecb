#include "music_service/gstreamer/pipeline.h"

#include <cmath>
#include <limits>

#include "music_service/gstreamer/audio_output.h"

namespace tolvane {

namespace {

// playbin's GstPlayFlags: render the audio stream only (no video, no subtitles, no visualisation),
// so that a picture in a file never needs a video output.
constexpr guint audioOnly = 0x2;

// Nanoseconds for GStreamer, from seconds already known to be finite and at least 0.
gint64 nanosecondsOf(double seconds) {
  constexpr double latest = static_cast<double>(std::numeric_limits<gint64>::max() / GST_SECOND);
  return static_cast<gint64>(std::min(seconds, latest) * static_cast<double>(GST_SECOND));
}

// What a position or duration query answered, in seconds.
using Query = gboolean (*)(GstElement*, GstFormat, gint64*);
std::optional<double> secondsOf(Query query, GstElement* element) {
  gint64 nanoseconds = -1;
  if (!query(element, GST_FORMAT_TIME, &nanoseconds) || nanoseconds < 0) return std::nullopt;
  return static_cast<double>(nanoseconds) / static_cast<double>(GST_SECOND);
}

// The file of an entry, as a URI playbin opens.
const std::string* uriOf(const QueueEntry& entry) {
  if (entry.song && entry.song->url) return &*entry.song->url;
  return nullptr;
}

}  // namespace

void Pipeline::Shared::post(PipelineEvent event) {
  loop.post([self = weak_from_this(), event = std::move(event), from = load] {
    const auto shared = self.lock();
    if (!shared || !shared->onEvent) return;  // the pipeline is gone
    {
      std::lock_guard lock(shared->mutex);
      if (from != shared->load) return;  // an event of a load that has been replaced
    }
    shared->onEvent(event);
  });
}

Result<std::unique_ptr<Pipeline>> Pipeline::create(RunLoop& loop, const std::string& outputDescription,
                                                   EventHandler onEvent) {
  GstRef<GstElement> playbin = sinkRef(gst_element_factory_make("playbin", nullptr));
  if (!playbin)
    return playerError(PlayerError::noGStreamer, "GStreamer has no playbin (gstreamer1.0-plugins-base is missing)");
  Result<GstRef<GstElement>> output = makeAudioOutput(outputDescription);
  if (!output) return output.error();
  return std::make_unique<Pipeline>(Key{}, loop, std::move(playbin), std::move(output.value()), std::move(onEvent));
}

Pipeline::Pipeline(Key, RunLoop& loop, GstRef<GstElement> playbin, GstRef<GstElement> output, EventHandler onEvent)
    : loop_(loop),
      playbin_(std::move(playbin)),
      output_(std::move(output)),
      outputPad_(adoptRef(gst_element_get_static_pad(output_.get(), "sink"))),
      shared_(std::make_shared<Shared>(loop, playbin_.get(), output_.get())) {
  shared_->onEvent = [this, handler = std::move(onEvent)](const PipelineEvent& event) {
    deliver(event);
    handler(event);
  };
  g_object_set(playbin_.get(), "audio-sink", output_.get(), "flags", audioOnly, nullptr);
  // The callbacks get the shared part; they are removed, and GStreamer's threads stopped, before
  // it goes.
  GstRef<GstBus> bus = adoptRef(gst_element_get_bus(playbin_.get()));
  gst_bus_set_sync_handler(bus.get(), onBusMessage, shared_.get(), nullptr);
  g_signal_connect(playbin_.get(), "about-to-finish", G_CALLBACK(onAboutToFinish), shared_.get());
  if (outputPad_) {
    outputProbe_ =
        gst_pad_add_probe(outputPad_.get(),
                          static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                                       GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                          onOutputData, shared_.get(), nullptr);
  }
}

Pipeline::~Pipeline() {
  gst_element_set_state(playbin_.get(), GST_STATE_NULL);
  GstRef<GstBus> bus = adoptRef(gst_element_get_bus(playbin_.get()));
  gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
  g_signal_handlers_disconnect_by_data(playbin_.get(), shared_.get());
  if (outputProbe_ != 0) gst_pad_remove_probe(outputPad_.get(), outputProbe_);
  shared_->onEvent = nullptr;
}

void Pipeline::load(std::shared_ptr<const EntryList> entries, std::size_t entry, std::size_t following,
                    GstState state) {
  // Stopped, the streaming threads are gone: nothing of the previous load runs any more when this
  // returns. Stopped rather than ready: after a file handed over has failed, playbin in the ready
  // state may go on to open that file again instead of the one set now.
  gst_element_set_state(playbin_.get(), GST_STATE_NULL);
  streamsStarted_ = 0;
  const std::string* uri = entry < entries->size() ? uriOf(entries->at(entry)) : nullptr;
  {
    std::lock_guard lock(shared_->mutex);
    ++shared_->load;
    shared_->streamStarts = 0;
    shared_->awaitingSamples = false;
    shared_->entries = std::move(entries);
    shared_->following = following;
    shared_->handedOver = 0;
    shared_->seeking = false;
    if (!uri) {
      PipelineEvent failed = PipelineEvent::of(PipelineEvent::Kind::failed);
      failed.error = playerError(PlayerError::noFile, "the song has no file to play");
      shared_->post(std::move(failed));
      return;
    }
  }
  g_object_set(playbin_.get(), "uri", uri->c_str(), nullptr);
  // A failure here (an output that cannot be opened) comes as an error message on the bus.
  gst_element_set_state(playbin_.get(), state);
}

void Pipeline::unload() {
  gst_element_set_state(playbin_.get(), GST_STATE_NULL);
  streamsStarted_ = 0;
  std::lock_guard lock(shared_->mutex);
  ++shared_->load;
  shared_->entries.reset();
  shared_->seeking = false;
}

bool Pipeline::outputAhead() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->streamStarts > streamsStarted_;
}

void Pipeline::setState(GstState state) { gst_element_set_state(playbin_.get(), state); }

bool Pipeline::seek(double seconds) {
  {
    std::lock_guard lock(shared_->mutex);
    // The streams started are the one loaded and those handed over since: one more handed over
    // is on its way, and a seek would land in it.
    const std::size_t handedOverStarted = streamsStarted_ > 0 ? streamsStarted_ - 1 : 0;
    if (shared_->handedOver > handedOverStarted) return false;
    shared_->seeking = true;
  }
  const gint64 to = nanosecondsOf(std::isfinite(seconds) && seconds > 0 ? seconds : 0.0);
  if (!gst_element_seek_simple(playbin_.get(), GST_FORMAT_TIME,
                               static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), to)) {
    std::lock_guard lock(shared_->mutex);
    shared_->seeking = false;
    return false;
  }
  return true;
}

std::optional<double> Pipeline::position() const { return secondsOf(gst_element_query_position, playbin_.get()); }

std::optional<double> Pipeline::duration() const { return secondsOf(gst_element_query_duration, playbin_.get()); }

void Pipeline::deliver(const PipelineEvent& event) {
  switch (event.kind) {
    case PipelineEvent::Kind::streamStarted: streamsStarted_ = event.stream; break;
    case PipelineEvent::Kind::prerolled: {
      // A seek lands with the pipeline prerolled again: next files may be handed over again.
      std::lock_guard lock(shared_->mutex);
      shared_->seeking = false;
      break;
    }
    default: break;
  }
}

// GStreamer's threads (and the main loop, for messages posted while it changes the state).
GstBusSyncReply Pipeline::onBusMessage(GstBus*, GstMessage* given, gpointer self) {
  // A handler that drops a message owns it, and must release it.
  const GstMessageRef owned(given);
  GstMessage* const message = owned.get();
  Shared& shared = *static_cast<Shared*>(self);
  GstObject* playbin = nullptr;
  GstObject* output = nullptr;
  {
    std::lock_guard lock(shared.mutex);
    playbin = GST_OBJECT(shared.playbin);
    output = GST_OBJECT(shared.output);
  }
  PipelineEvent event;
  switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ASYNC_DONE: event.kind = PipelineEvent::Kind::prerolled; break;
    case GST_MESSAGE_STATE_CHANGED: {
      if (GST_MESSAGE_SRC(message) != playbin) return GST_BUS_DROP;
      GstState now = GST_STATE_NULL;
      gst_message_parse_state_changed(message, nullptr, &now, nullptr);
      if (now != GST_STATE_PLAYING) return GST_BUS_DROP;
      event.kind = PipelineEvent::Kind::playing;
      break;
    }
    case GST_MESSAGE_EOS: event.kind = PipelineEvent::Kind::endOfStream; break;
    case GST_MESSAGE_ERROR: {
      GError* failure = nullptr;
      gst_message_parse_error(message, &failure, nullptr);
      GErrorRef error(failure);
      event.kind = PipelineEvent::Kind::failed;
      event.error = error ? errorOf(*error) : playerError(PlayerError::failed, "playback failed");
      GstObject* source = GST_MESSAGE_SRC(message);
      event.fromOutput = source == output || gst_object_has_as_ancestor(source, output);
      break;
    }
    case GST_MESSAGE_REQUEST_STATE: {
      GstState wanted = GST_STATE_PLAYING;
      gst_message_parse_request_state(message, &wanted);
      event.kind = PipelineEvent::Kind::outputHold;
      event.hold = wanted != GST_STATE_PLAYING;
      break;
    }
    case GST_MESSAGE_BUFFERING: {
      gint percent = 100;
      gst_message_parse_buffering(message, &percent);
      event.kind = PipelineEvent::Kind::stalled;
      event.hold = percent < 100;
      break;
    }
    default: return GST_BUS_DROP;
  }
  std::lock_guard lock(shared.mutex);
  shared.post(std::move(event));
  return GST_BUS_DROP;
}

// A streaming thread, when playbin has read the whole of the stream that plays: the next file must
// be given now for the two to join without a gap.
void Pipeline::onAboutToFinish(GstElement* playbin, gpointer self) {
  Shared& shared = *static_cast<Shared*>(self);
  std::string uri;
  std::size_t entry = 0;
  {
    std::lock_guard lock(shared.mutex);
    // During a seek, the stream that plays may be about to be read again: nothing is handed over, and
    // the player goes on to the next entry at the end of the stream instead.
    if (shared.seeking || !shared.entries) return;
    while (uri.empty() && shared.following < shared.entries->size()) {
      entry = shared.following++;
      if (const std::string* file = uriOf(shared.entries->at(entry))) uri = *file;  // else not a song of ours
    }
    if (uri.empty()) return;
    ++shared.handedOver;
  }
  // Outside the lock: playbin takes its own.
  g_object_set(playbin, "uri", uri.c_str(), nullptr);
  PipelineEvent handedOver = PipelineEvent::of(PipelineEvent::Kind::handedOver);
  handedOver.entry = entry;
  std::lock_guard lock(shared.mutex);
  shared.post(std::move(handedOver));
}

// A streaming thread, for each buffer and downstream event on its way into the audio output.
GstPadProbeReturn Pipeline::onOutputData(GstPad*, GstPadProbeInfo* info, gpointer self) {
  Shared& shared = *static_cast<Shared*>(self);
  const bool event = (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) != 0;
  const bool streamStart = event && GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_STREAM_START;
  std::lock_guard lock(shared.mutex);
  if (streamStart) {
    ++shared.streamStarts;
    shared.awaitingSamples = true;
  } else if (!event && shared.awaitingSamples) {
    // The stream's segment went ahead of its first samples: from here on, the pipeline's position
    // is this stream's.
    shared.awaitingSamples = false;
    PipelineEvent started = PipelineEvent::of(PipelineEvent::Kind::streamStarted);
    started.stream = shared.streamStarts;
    shared.post(std::move(started));
  }
  return GST_PAD_PROBE_OK;
}

}  // namespace tolvane
