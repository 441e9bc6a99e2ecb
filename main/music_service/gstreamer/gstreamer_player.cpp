#include "music_service/gstreamer/gstreamer_player.h"

#include <cmath>
#include <functional>

#include "music_service/gstreamer/audio_output.h"

namespace tolvane {

GStreamerPlayer::GStreamerPlayer(RunLoop& loop, GStreamerRuntime& runtime, std::string outputDescription)
    : loop_(loop),
      runtime_(runtime),
      outputDescription_(std::move(outputDescription)),
      queue_(std::make_shared<EntryQueue>(std::make_shared<const EntryList>())) {}

GStreamerPlayer::~GStreamerPlayer() = default;

std::shared_ptr<MusicQueue> GStreamerPlayer::queue() const { return queue_; }

std::optional<std::size_t> GStreamerPlayer::current() const { return queue_->current; }

// ---- the model: status, current entry, position ----

void GStreamerPlayer::changeStatus(PlaybackStatus status) {
  if (status == status_) return;
  stateWillChange_.send();
  status_ = status;
}

void GStreamerPlayer::moveTo(std::size_t entry) {
  if (queue_->current == entry) return;
  queue_->willChange.send();
  queue_->current = entry;
}

std::optional<double> GStreamerPlayer::entryLength() const {
  const std::optional<QueueEntry> entry = queue_->currentEntry();
  if (entry && entry->song && entry->song->duration && std::isfinite(*entry->song->duration) &&
      *entry->song->duration > 0) {
    return entry->song->duration;
  }
  if (loaded_ && prerolled_) return pipeline_->duration();
  return std::nullopt;
}

double GStreamerPlayer::playbackTime() const {
  // Only a stream that plays and whose samples reach the output has a position of its own; before
  // that (a new entry, a seek on its way) the position is where it was asked to be.
  if (status_ != PlaybackStatus::playing || !loaded_ || !flowing_ || seeking_ || startAt_) return heldPosition_;
  return livePosition();
}

double GStreamerPlayer::livePosition() const {
  const std::optional<double> at = pipeline_->position();
  const std::optional<double> length = entryLength();
  // The next song's samples have begun, and the main loop will hear of it next: the song it takes
  // as current has played out.
  if (pipeline_->outputAhead()) return length.value_or(at.value_or(heldPosition_));
  if (!at) return heldPosition_;
  // The pipeline may count a few milliseconds past the length the song's tags give.
  return length ? std::min(*at, *length) : *at;
}

// ---- the queue ----

void GStreamerPlayer::setQueue(const std::vector<std::shared_ptr<const Song>>& songs) {
  unload();
  queue_ = std::make_shared<EntryQueue>(EntryList::ofSongs(songs));
  heldPosition_ = 0.0;
  changeStatus(PlaybackStatus::stopped);
  // A play() still waiting plays the new queue, as it would have played the old one.
  startPending();
}

// ---- playback ----

Future<Result<void>> GStreamerPlayer::play() {
  Completer<Result<void>> completer(loop_);
  Future<Result<void>> future = completer.future();
  if (queue_->entries->empty()) {
    completer.complete(playerError(PlayerError::emptyQueue, "The queue is empty"));
    return future;
  }
  if (status_ == PlaybackStatus::playing) {
    completer.complete(Result<void>{});
    return future;
  }
  starting_.push_back(std::move(completer));
  runtime_.whenReady([this, alive = std::weak_ptr<bool>(alive_)](const Result<void>& initialised) {
    if (!alive.lock()) return;
    if (!initialised) {
      settlePending(initialised.error());
      return;
    }
    startPending();
  });
  return future;
}

void GStreamerPlayer::startPending() {
  if (starting_.empty() || !runtime_.isReady()) return;
  if (!pipeline_) {
    Result<std::unique_ptr<Pipeline>> made =
        Pipeline::create(loop_, outputDescription_, [this](const PipelineEvent& event) { onEvent(event); });
    if (!made) {
      settlePending(made.error());
      return;
    }
    pipeline_ = std::move(made.value());
  }
  const std::optional<std::size_t> entry = current();
  if (!entry) {
    settlePending(playerError(PlayerError::emptyQueue, "The queue is empty"));
    return;
  }
  hold_ = Hold::none;
  if (!loaded_) {
    load(*entry, heldPosition_);
    return;
  }
  // Loaded already (paused, interrupted, or still on its way): it goes on to play from where it is.
  target_ = GST_STATE_PLAYING;
  if (!startAt_) pipeline_->setState(GST_STATE_PLAYING);
}

void GStreamerPlayer::settlePending(const Result<void>& result) {
  for (const Completer<Result<void>>& completer : std::exchange(starting_, {})) completer.complete(result);
}

void GStreamerPlayer::pause() {
  // A pause wins over a play() still starting: that one completes and changes nothing.
  settlePending(Result<void>{});
  const double at = playbackTime();
  changeStatus(PlaybackStatus::paused);
  heldPosition_ = at;
  hold_ = Hold::none;
  if (!loaded_) return;
  target_ = GST_STATE_PAUSED;
  if (!startAt_) pipeline_->setState(GST_STATE_PAUSED);
}

void GStreamerPlayer::stop() {
  settlePending(Result<void>{});
  changeStatus(PlaybackStatus::stopped);
  unload();
  heldPosition_ = 0.0;
}

void GStreamerPlayer::restartCurrentEntry() { seekWithin(0.0); }

void GStreamerPlayer::setPlaybackTime(double seconds) {
  if (!(seconds >= 0.0)) seconds = 0.0;
  const std::optional<std::size_t> entry = current();
  if (status_ == PlaybackStatus::playing && entry) {
    const std::optional<double> length = entryLength();
    if (length && seconds >= *length) {
      goOnFrom(*entry + 1, Ending::soughtPast);
      return;
    }
  }
  seekWithin(seconds);
}

void GStreamerPlayer::seekWithin(double seconds) {
  heldPosition_ = seconds;
  if (!loaded_) return;  // where the next start begins
  if (!prerolled_) {
    startAt_ = seconds;
    return;
  }
  const std::optional<double> length = entryLength();
  if (pipeline_->seek(length ? std::min(seconds, *length) : seconds)) {
    seeking_ = true;
    return;
  }
  // The next file was handed over already, and playbin would seek in that one: the entry is loaded
  // again at the position instead, and the next one follows it as before.
  if (const std::optional<std::size_t> entry = current()) load(*entry, seconds);
}

Future<Result<void>> GStreamerPlayer::skipToNextEntry() {
  return skip([this](std::size_t entry) { goOnFrom(entry + 1, Ending::skipped); });
}

Future<Result<void>> GStreamerPlayer::skipToPreviousEntry() {
  return skip([this](std::size_t entry) { goTo(entry > 0 ? entry - 1 : 0); });
}

Future<Result<void>> GStreamerPlayer::skip(const std::function<void(std::size_t current)>& move) {
  Completer<Result<void>> completer(loop_);
  Future<Result<void>> future = completer.future();
  const std::optional<std::size_t> entry = current();
  if (!entry) {
    completer.complete(playerError(PlayerError::emptyQueue, "The queue is empty"));
    return future;
  }
  // Done at once; the caller resumes after the change, as it would after a player's latency.
  completer.complete(Result<void>{});
  move(*entry);
  return future;
}

void GStreamerPlayer::goTo(std::size_t entry) {
  moveTo(entry);
  heldPosition_ = 0.0;
  if (wantsToPlay()) {
    load(entry, 0.0);
  } else {
    unload();
  }
}

void GStreamerPlayer::goOnFrom(std::size_t next, Ending ending) {
  if (next >= queue_->entries->size()) {
    if (ending != Ending::skipped && status_ == PlaybackStatus::playing && !lastEntryStarted()) {
      passOverLastEntry();
    } else {
      endQueue();
    }
    return;
  }
  if (ending == Ending::playedOut && wantsToPlay()) {
    // As when a file handed over starts: the entry that played stays current, at its end, until the
    // next one's first samples play. A next entry that cannot be played is then never current.
    const double end = entryLength().value_or(heldPosition_);
    load(next, 0.0);
    heldPosition_ = end;
    return;
  }
  goTo(next);
}

bool GStreamerPlayer::lastEntryStarted() const {
  return streamsStarted_ >= 1 && streamsStarted_ <= streams_.size() &&
         streams_[streamsStarted_ - 1] + 1 == queue_->entries->size();
}

// The last entry could not be played: the queue ends as if it had played out. The entry is shown at
// its end, still playing, until the reports of that change have run (so that the end is seen as for
// a song that played to its end), then the queue goes back to its first entry.
void GStreamerPlayer::passOverLastEntry() {
  unload();
  const std::size_t last = queue_->entries->size() - 1;
  if (queue_->current == last) {
    queue_->willChange.send();  // the entry stays; where it stands changes
  } else {
    moveTo(last);
  }
  heldPosition_ = entryLength().value_or(0.0);
  loop_.post([this, alive = std::weak_ptr<bool>(alive_), queue = std::weak_ptr<EntryQueue>(queue_), last] {
    // Unless something else happened meanwhile (a stop, a skip, a new queue).
    if (!alive.lock() || queue.lock() != queue_ || loaded_ || status_ != PlaybackStatus::playing ||
        queue_->current != last) {
      return;
    }
    endQueue();
  });
}

void GStreamerPlayer::endQueue() {
  // Back to the first entry, paused at its start, the output released.
  unload();
  moveTo(0);
  heldPosition_ = 0.0;
  changeStatus(PlaybackStatus::paused);
  startPending();  // a play() still waiting starts the queue again
}

// ---- the pipeline ----

void GStreamerPlayer::load(std::size_t entry, double seconds, std::optional<std::size_t> following) {
  heldPosition_ = seconds;
  if (!pipeline_) return;  // before GStreamer is ready: the play() waiting for it loads
  loaded_ = true;
  prerolled_ = false;
  flowing_ = false;
  seeking_ = false;
  hold_ = Hold::none;
  target_ = wantsToPlay() ? GST_STATE_PLAYING : GST_STATE_PAUSED;
  startAt_ = seconds > 0.0 ? std::optional<double>(seconds) : std::nullopt;
  streams_ = {entry};
  streamsStarted_ = 0;
  following_ = following.value_or(entry + 1);
  watchdog_ = loop_.schedule(prerollGrace, [this] { onWatchdog(); });
  // A start within the entry seeks first, paused, and plays from there.
  pipeline_->load(queue_->entries, entry, following_, startAt_ ? GST_STATE_PAUSED : target_);
}

void GStreamerPlayer::unload() {
  if (loaded_) pipeline_->unload();
  watchdog_.invalidate();
  loaded_ = false;
  prerolled_ = false;
  flowing_ = false;
  seeking_ = false;
  hold_ = Hold::none;
  startAt_.reset();
  streams_.clear();
  streamsStarted_ = 0;
}

// What the pipeline reports, and what the player's state becomes.
void GStreamerPlayer::onEvent(const PipelineEvent& event) {
  switch (event.kind) {
    case PipelineEvent::Kind::prerolled:
      if (!prerolled_) {
        prerolled_ = true;
        watchdog_.invalidate();
        if (const std::optional<double> at = std::exchange(startAt_, std::nullopt)) {
          const std::optional<double> length = entryLength();
          seeking_ = pipeline_->seek(length ? std::min(*at, *length) : *at);
        }
        pipeline_->setState(target_);
      } else {
        seeking_ = false;
      }
      break;
    case PipelineEvent::Kind::playing:
      if (!starting_.empty()) {
        // The caller's answer goes ahead of the reports of the change.
        settlePending(Result<void>{});
        changeStatus(PlaybackStatus::playing);
        watchHandover();
      }
      break;
    case PipelineEvent::Kind::handedOver:
      streams_.push_back(event.entry);
      following_ = event.entry + 1;
      watchHandover();
      break;
    case PipelineEvent::Kind::streamStarted:
      if (event.stream == 0 || event.stream > streams_.size()) break;
      streamsStarted_ = event.stream;
      flowing_ = true;
      watchdog_.invalidate();
      if (queue_->current != streams_[event.stream - 1]) {
        // A file handed over, or loaded after the one before played out, has begun to play: it is
        // the current entry from its first sample on.
        heldPosition_ = 0.0;
        moveTo(streams_[event.stream - 1]);
      }
      break;
    // Nothing more was handed over: the entries from the next one to hand over on are what is left.
    case PipelineEvent::Kind::endOfStream: goOnFrom(following_); break;
    case PipelineEvent::Kind::failed:
      if (event.fromOutput) {
        outputLost(*event.error);
      } else {
        entryFailed(*event.error);
      }
      break;
    case PipelineEvent::Kind::outputHold: hold(Hold::output, event.hold); break;
    case PipelineEvent::Kind::stalled: hold(Hold::stall, event.hold); break;
  }
}

void GStreamerPlayer::entryFailed(const Error& error) {
  const std::optional<std::size_t> entry = current();
  if (!entry || streams_.empty()) return;
  if (handoverPending()) {
    // The file handed over to follow the one that plays failed before its first sample. When the one
    // that plays is over, the entries after the failed one go on; otherwise it is loaded again
    // where it stands, followed by them.
    const std::size_t failed = streams_[firstHandedOverNotStarted()];
    const double at = playbackTime();
    const std::optional<double> length = entryLength();
    if (length && at >= *length - endMargin) {
      goOnFrom(failed + 1);
    } else {
      load(*entry, at, failed + 1);
    }
    return;
  }
  if (!starting_.empty()) {
    // The entry a play() starts with cannot be played: that play() fails with the reason.
    unload();
    settlePending(error);
    return;
  }
  // The file loaded, or the one that plays, cannot go on: the next one plays instead, as if it had
  // ended.
  goOnFrom((streamsStarted_ > 0 ? streams_[streamsStarted_ - 1] : streams_.front()) + 1);
}

void GStreamerPlayer::outputLost(const Error& error) {
  const double at = playbackTime();
  unload();
  heldPosition_ = at;
  if (!starting_.empty()) {
    settlePending(error);
    return;
  }
  // Playback goes on from here once asked to (play()).
  if (status_ == PlaybackStatus::playing) changeStatus(PlaybackStatus::interrupted);
}

void GStreamerPlayer::hold(Hold why, bool on) {
  if (on) {
    if (status_ != PlaybackStatus::playing || !loaded_) return;
    heldPosition_ = playbackTime();
    hold_ = why;
    pipeline_->setState(GST_STATE_PAUSED);
    changeStatus(PlaybackStatus::interrupted);
  } else if (hold_ == why && status_ == PlaybackStatus::interrupted && loaded_) {
    hold_ = Hold::none;
    pipeline_->setState(GST_STATE_PLAYING);
    changeStatus(PlaybackStatus::playing);
    watchHandover();
  }
}

// Some files fail without a word from GStreamer: the pipeline then waits for ever. A load must
// preroll, and a file handed over must start once the one before it has played out, within a
// margin; otherwise the file is taken as failed.
void GStreamerPlayer::watchHandover() {
  if (!handoverPending() || status_ != PlaybackStatus::playing) return;
  const std::optional<double> length = entryLength();
  const double left = length ? std::max(*length - playbackTime(), 0.0) : 0.0;
  watchdog_ =
      loop_.schedule(std::chrono::duration_cast<Duration>(Seconds{std::min(left, maxWatchedSeconds)}) + handoverGrace,
                     [this] { onWatchdog(); });
}

void GStreamerPlayer::onWatchdog() {
  if (!loaded_) return;
  if (!prerolled_) {
    entryFailed(playerError(PlayerError::failed, "the file could not be read"));
  } else if (handoverPending()) {
    // Paused meanwhile: watched again once it plays.
    if (status_ != PlaybackStatus::playing) return;
    entryFailed(playerError(PlayerError::failed, "the next file did not start"));
  }
}

// ---- the subscription ----

Future<Result<Subscription>> GStreamerPlayer::subscription() {
  Completer<Result<Subscription>> completer(loop_);
  Future<Result<Subscription>> future = completer.future();
  if (loaded_ && prerolled_) {
    completer.complete(Subscription{true});  // the output is open and in use
    return future;
  }
  runtime_.whenReady([this, alive = std::weak_ptr<bool>(alive_), completer](const Result<void>& initialised) {
    if (!alive.lock()) return;
    if (!initialised) {
      completer.complete(initialised.error());
      return;
    }
    // Opening a device may take a while: off the main loop.
    runtime_.worker().post([&loop = loop_, completer, description = outputDescription_] {
      Result<void> opened = tryAudioOutput(description);
      loop.post([completer, opened = std::move(opened)] {
        completer.complete(opened ? Result<Subscription>(Subscription{true}) : Result<Subscription>(opened.error()));
      });
    });
  });
  return future;
}

}  // namespace tolvane
