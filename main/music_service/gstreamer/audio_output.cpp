#include "music_service/gstreamer/audio_output.h"

namespace tolvane {

Result<GstRef<GstElement>> makeAudioOutput(const std::string& description) {
  GError* failure = nullptr;
  GstRef<GstElement> bin = sinkRef(gst_parse_bin_from_description(description.c_str(), TRUE, &failure));
  GErrorRef error(failure);
  // The parser may return a bin and an error both, for a description it could only partly honour.
  if (error) return errorOf(*error);
  if (!bin) return playerError(PlayerError::noOutput, "the audio output '" + description + "' cannot be made");
  return bin;
}

Result<void> tryAudioOutput(const std::string& description) {
  Result<GstRef<GstElement>> output = makeAudioOutput(description);
  if (!output) return output.error();
  GstRef<GstElement> pipeline = sinkRef(gst_pipeline_new(nullptr));
  gst_bin_add(GST_BIN(pipeline.get()), output.value().get());
  // Paused, a sink has opened what it writes to and waits for its first sample; it fails at once
  // when it cannot open it.
  const GstStateChangeReturn opened = gst_element_set_state(pipeline.get(), GST_STATE_PAUSED);
  Result<void> result;
  if (opened == GST_STATE_CHANGE_FAILURE) {
    GstRef<GstBus> bus = adoptRef(gst_element_get_bus(pipeline.get()));
    GstMessageRef message(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    GError* failure = nullptr;
    if (message) gst_message_parse_error(message.get(), &failure, nullptr);
    GErrorRef error(failure);
    result = error ? errorOf(*error)
                   : playerError(PlayerError::noOutput, "the audio output '" + description + "' cannot be opened");
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return result;
}

}  // namespace tolvane
