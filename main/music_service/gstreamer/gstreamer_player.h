#pragma once

// The music player on GStreamer: it plays the files of its queue's songs, in order and without gaps
// between them, to an audio output.
//
// Main loop only. It behaves as the simulated player does, with real audio: play() completes once
// the output plays; after the last entry the queue stands on its first entry, at 0, paused; a seek
// at or past the end of the entry that plays ends it; an entry whose file cannot be read or decoded
// is passed over for the next one, announced like any change of entry. Every change of the status
// is announced on stateWillChange() just before it is made, every change of the current entry on
// the queue's publisher, in the order they happen.
//
// The status is "interrupted" while the audio output is lost or held by another program, or while
// the stream stalls; "resume" (play()) goes on from where it stood.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "music_service/entry_list.h"
#include "music_service/gstreamer/gstreamer_runtime.h"
#include "music_service/gstreamer/pipeline.h"
#include "music_service/music_service.h"
#include "platform/future.h"
#include "platform/publisher.h"
#include "platform/run_loop.h"

namespace tolvane {

class GStreamerPlayer final : public MusicPlayer {
 public:
  // Plays to the audio output that `outputDescription` describes (audio_output.h). GStreamer is
  // first needed, and waited for, by play() and subscription().
  GStreamerPlayer(RunLoop& loop, GStreamerRuntime& runtime, std::string outputDescription);
  ~GStreamerPlayer() override;
  GStreamerPlayer(const GStreamerPlayer&) = delete;
  GStreamerPlayer& operator=(const GStreamerPlayer&) = delete;

  PlaybackStatus playbackStatus() const override { return status_; }
  Publisher& stateWillChange() override { return stateWillChange_; }
  std::shared_ptr<MusicQueue> queue() const override;
  void setQueue(const std::vector<std::shared_ptr<const Song>>& songs) override;
  Future<Result<void>> play() override;
  void pause() override;
  void stop() override;
  void restartCurrentEntry() override;
  Future<Result<void>> skipToNextEntry() override;
  Future<Result<void>> skipToPreviousEntry() override;
  double playbackTime() const override;
  void setPlaybackTime(double seconds) override;

  // Whether the library's songs can be played: they can while the audio output can be opened (or
  // plays already); otherwise the output's error.
  Future<Result<Subscription>> subscription();

  // For tests: the pipeline, once made (by the first play()).
  Pipeline* pipelineForTest() { return pipeline_.get(); }

 private:
  enum class Hold { none, output, stall };

  // How long a load may take to preroll, and how long after the end of the entry that plays a file
  // handed over may take to start, before they are taken as failed.
  static constexpr Duration prerollGrace = std::chrono::seconds(10);
  static constexpr Duration handoverGrace = std::chrono::seconds(2);
  static constexpr double maxWatchedSeconds = 24.0 * 3600.0;
  // An entry this close to its end (seconds) has played out.
  static constexpr double endMargin = 0.5;

  void startPending();
  // Completes at once (or fails on an empty queue) and makes the move from the current entry.
  Future<Result<void>> skip(const std::function<void(std::size_t current)>& move);
  // Makes `entry` current, at its start, playing if the player plays.
  void goTo(std::size_t entry);
  void onEvent(const PipelineEvent& event);
  void load(std::size_t entry, double seconds, std::optional<std::size_t> following = std::nullopt);
  void unload();
  void seekWithin(double seconds);
  void moveTo(std::size_t entry);
  void changeStatus(PlaybackStatus status);
  // How the entry that plays ended: it played out (or failed), was sought past its end, or was
  // skipped.
  enum class Ending { playedOut, soughtPast, skipped };
  // The entry that plays has ended: on to entry `next`, or the end of the queue.
  void goOnFrom(std::size_t next, Ending ending = Ending::playedOut);
  bool lastEntryStarted() const;
  void passOverLastEntry();
  void endQueue();
  void entryFailed(const Error& error);
  void outputLost(const Error& error);
  void hold(Hold why, bool on);
  void watchHandover();
  void onWatchdog();
  // A file was handed over and has not started yet (the loaded one may not have started either:
  // playbin may read a short file to its end before its first samples reach the output).
  bool handoverPending() const { return streams_.size() > firstHandedOverNotStarted(); }
  std::size_t firstHandedOverNotStarted() const { return std::max<std::size_t>(streamsStarted_, 1); }
  void settlePending(const Result<void>& result);
  // Playing, or asked to play and waiting for the output.
  bool wantsToPlay() const { return status_ == PlaybackStatus::playing || !starting_.empty(); }
  std::optional<std::size_t> current() const;
  std::optional<double> entryLength() const;
  double livePosition() const;

  RunLoop& loop_;
  GStreamerRuntime& runtime_;
  const std::string outputDescription_;
  Publisher stateWillChange_;
  std::shared_ptr<EntryQueue> queue_;
  PlaybackStatus status_ = PlaybackStatus::stopped;
  // The position while no stream tells it: paused, stopped, interrupted, loading or seeking.
  double heldPosition_ = 0.0;
  std::vector<Completer<Result<void>>> starting_;  // play() calls waiting for the output to play

  std::unique_ptr<Pipeline> pipeline_;
  // The load the pipeline holds, if any.
  bool loaded_ = false;
  GstState target_ = GST_STATE_PAUSED;
  bool prerolled_ = false;
  bool flowing_ = false;  // the current entry's samples reach the output: the pipeline's position is its
  bool seeking_ = false;
  std::optional<double> startAt_;     // where to seek once prerolled
  std::vector<std::size_t> streams_;  // the entries of the load's streams: the one loaded, then those handed over
  std::size_t streamsStarted_ = 0;
  std::size_t following_ = 0;  // the entry the pipeline hands over next
  Hold hold_ = Hold::none;
  Timer watchdog_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tolvane
