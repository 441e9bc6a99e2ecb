#pragma once

// The audio output: a GStreamer sink with its properties, or a chain of elements ending in a sink,
// given as a description in gst-launch syntax ("autoaudiosink", "fakesink sync=true",
// "audioconvert ! audio/x-raw,format=S16LE ! filesink location=out.raw").

#include <gst/gst.h>

#include <string>

#include "music_service/gstreamer/gst_ref.h"
#include "platform/error.h"

namespace tolvane {

// The output chosen when none is given: PipeWire, PulseAudio or ALSA, whichever the desktop has.
inline constexpr const char* defaultAudioOutput = "autoaudiosink";

// After GStreamer's initialisation, any thread. The description as one bin with a "sink" pad, or
// the parser's error (an unknown element, a property that does not take the value, a chain that
// does not link).
Result<GstRef<GstElement>> makeAudioOutput(const std::string& description);

// After GStreamer's initialisation, off the main loop: it may block while a device opens. Opens the
// output as playback would (the sound server or device, the file) and closes it again; the
// output's own error when it cannot be opened.
Result<void> tryAudioOutput(const std::string& description);

}  // namespace tolvane
