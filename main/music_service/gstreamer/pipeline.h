#pragma once

// The one owner of the GStreamer pipeline (a playbin playing audio only, into the audio output).
//
// Threads: every member function belongs to the main loop. GStreamer's own threads (its streaming
// threads, the output's) reach this class through three callbacks only: the bus's synchronous
// handler, playbin's about-to-finish and a probe on the output's input. Each copies what it learnt
// into a PipelineEvent and posts it to the main loop; about-to-finish also gives playbin the next
// file, since gapless playback needs it at that moment. Events of an earlier load never reach the
// handler.
//
// Gapless playback: once loaded, the pipeline plays the entries of its list in order from the one
// loaded, handing each next file to playbin as the one before it is about to finish; it tells when
// each file has been handed over and when its first samples reach the output.

#include <gst/gst.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "music_service/entry_list.h"
#include "music_service/gstreamer/gst_ref.h"
#include "platform/error.h"
#include "platform/run_loop.h"

namespace tolvane {

struct PipelineEvent {
  enum class Kind {
    prerolled,      // the pipeline's state change or flushing seek has completed (its samples wait at the output)
    playing,        // the pipeline has reached the playing state
    handedOver,     // `entry` was given to playbin to follow the stream that plays
    streamStarted,  // the first samples of stream `stream` (1: the entry loaded, 2: the first handed over, ...)
                    // reached the output
    endOfStream,    // the last stream has played out and nothing follows it
    failed,         // `error`; from the audio output when `fromOutput`, else from reading or decoding a file
    outputHold,     // the output asks to hold playback (`hold`: another program needs the device) or to go on
    stalled,        // the stream stalls (`hold`: buffering) or flows again
  };
  Kind kind = Kind::prerolled;
  std::size_t entry = 0;
  std::size_t stream = 0;
  bool hold = false;
  bool fromOutput = false;
  std::optional<Error> error;

  static PipelineEvent of(Kind kind) {
    PipelineEvent event;
    event.kind = kind;
    return event;
  }
};

class Pipeline {
 public:
  using EventHandler = std::function<void(const PipelineEvent&)>;

  // After GStreamer's initialisation. The playbin with its audio output made from `outputDescription`,
  // or the error that prevents it (a description that does not parse, a missing plugin). Events go
  // to `onEvent`, on the main loop.
  static Result<std::unique_ptr<Pipeline>> create(RunLoop& loop, const std::string& outputDescription,
                                                  EventHandler onEvent);
  // Stops the pipeline (its threads with it) and releases it; no event is delivered afterwards.
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Stops what plays and loads entry `entry` of `entries`, to be followed by the entries from
  // `following` on; the pipeline goes to `state` (paused or playing). An entry without a file fails
  // at once (a failed event).
  void load(std::shared_ptr<const EntryList> entries, std::size_t entry, std::size_t following, GstState state);
  // Stops and releases the output and the file; nothing is loaded afterwards.
  void unload();
  // Paused or playing, for what is loaded.
  void setState(GstState state);

  // A flushing, accurate seek to `seconds` within the stream that plays, completed by a prerolled
  // event. While it is on its way no next file is handed over. False, with nothing done, when a
  // next file was handed over already and has not started: playbin would seek in that one.
  bool seek(double seconds);

  // Where the stream at the output is, and how long it is, when the pipeline knows.
  std::optional<double> position() const;
  // True when a stream has started at the output that no streamStarted event has told of yet: a
  // position read just before is that stream's, not the one the main loop thinks plays.
  bool outputAhead() const;
  std::optional<double> duration() const;

  // For tests: the playbin, to read its properties and post messages on its bus.
  GstElement* playbinForTest() { return playbin_.get(); }

 private:
  // Only create() makes pipelines; the key keeps the constructor usable by make_unique alone.
  struct Key {
    explicit Key() = default;
  };

 public:
  Pipeline(Key, RunLoop& loop, GstRef<GstElement> playbin, GstRef<GstElement> output, EventHandler onEvent);

 private:
  // What the main loop and GStreamer's threads share. Everything in it but `onEvent` is read and
  // written under `mutex`, which every callback takes first: GStreamer hands its threads over
  // with its own synchronisation, which ThreadSanitizer does not see, so the mutex is also what
  // orders these fields' first writes before a pooled thread's reads. Nobody calls into GStreamer
  // while holding it.
  struct Shared : std::enable_shared_from_this<Shared> {
    Shared(RunLoop& l, GstElement* p, GstElement* o) : loop(l), playbin(p), output(o) {}
    RunLoop& loop;
    GstElement* const playbin;  // owned by the Pipeline, outlives every callback
    GstElement* const output;
    EventHandler onEvent;  // main loop only
    std::mutex mutex;
    std::uint64_t load = 0;                    // which load the events are of
    std::size_t streamStarts = 0;              // stream-start events seen at the output since the load
    bool awaitingSamples = false;              // a stream started and its first samples are still to come
    std::shared_ptr<const EntryList> entries;  // what the load plays
    std::size_t following = 0;                 // the entry to hand over next
    std::size_t handedOver = 0;                // since the load
    bool seeking = false;

    // Any thread, holding `mutex`: posts `event` to the main loop as an event of the current load.
    // The job holds the shared part weakly: when the pipeline is gone, it does nothing.
    void post(PipelineEvent event);
  };

  void deliver(const PipelineEvent& event);

  static GstBusSyncReply onBusMessage(GstBus* bus, GstMessage* message, gpointer self);
  static void onAboutToFinish(GstElement* playbin, gpointer self);
  static GstPadProbeReturn onOutputData(GstPad* pad, GstPadProbeInfo* info, gpointer self);

  RunLoop& loop_;
  GstRef<GstElement> playbin_;
  GstRef<GstElement> output_;
  GstRef<GstPad> outputPad_;
  gulong outputProbe_ = 0;
  std::shared_ptr<Shared> shared_;
  std::size_t streamsStarted_ = 0;  // as delivered to the main loop
};

}  // namespace tolvane
