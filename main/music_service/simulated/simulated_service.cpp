#include "music_service/simulated/simulated_service.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_set>

#include "music_service/simulated/catalog.h"

namespace tolvane {

namespace {

// A delay given in seconds as a Duration, without overflowing for long or odd values.
Duration delayOf(double seconds) {
  constexpr double longest = 1.0e9;  // about 31 years
  if (!(seconds > 0.0)) return Duration{0};
  return std::chrono::duration_cast<Duration>(Seconds{std::min(seconds, longest)});
}

}  // namespace

// ---- player ----

SimulatedPlayer::SimulatedPlayer(RunLoop& loop, const std::map<Operation, Duration>& latencies,
                                 const std::map<Operation, Error>& failures)
    : loop_(loop),
      latencies_(latencies),
      failures_(failures),
      queue_(std::make_shared<EntryQueue>(std::make_shared<const EntryList>())),
      anchorTime_(loop.now()) {}

SimulatedPlayer::~SimulatedPlayer() = default;

std::shared_ptr<MusicQueue> SimulatedPlayer::queue() const { return queue_; }

std::size_t SimulatedPlayer::calls() const {
  return stopCalls_ + pauseCalls_ + restartCalls_ + playCalls_ + skipNextCalls_ + skipPreviousCalls_ + setQueueCalls_ +
         positionWrites_;
}

double SimulatedPlayer::playbackTime() const {
  if (status_ != PlaybackStatus::playing) return anchorSeconds_;
  return anchorSeconds_ + std::chrono::duration_cast<Seconds>(loop_.now() - anchorTime_).count();
}

void SimulatedPlayer::anchor(double seconds) {
  anchorSeconds_ = seconds;
  anchorTime_ = loop_.now();
}

double SimulatedPlayer::entryLength() const {
  const auto entry = queue_->currentEntry();
  if (entry && entry->song && entry->song->duration) return *entry->song->duration;
  return defaultPlayingSeconds;
}

void SimulatedPlayer::rescheduleEnd() {
  endTimer_.invalidate();
  if (status_ != PlaybackStatus::playing || !queue_->currentEntry()) return;
  const double remaining = entryLength() - playbackTime();
  if (std::isnan(remaining) || remaining == INFINITY) return;  // plays for ever
  endTimer_ = loop_.schedule(delayOf(remaining), [this] { entryPlayedOut(); });
}

void SimulatedPlayer::changeStatus(PlaybackStatus status) {
  if (status == status_) return;
  const double position = playbackTime();
  stateWillChange_.send();
  status_ = status;
  anchor(position);
  rescheduleEnd();
}

void SimulatedPlayer::moveTo(std::optional<std::size_t> index, double seconds) {
  if (index != queue_->current) {
    queue_->willChange.send();
    queue_->current = index;
  }
  anchor(seconds);
  rescheduleEnd();
}

void SimulatedPlayer::entryPlayedOut() {
  if (!queue_->current) return;
  const std::size_t next = *queue_->current + 1;
  if (next < queue_->entries->size()) {
    moveTo(next, 0.0);
    return;
  }
  // The queue has played out: back to its first entry, paused at its start.
  moveTo(0, 0.0);
  changeStatus(PlaybackStatus::paused);
}

void SimulatedPlayer::setQueue(const std::vector<std::shared_ptr<const Song>>& songs) {
  ++setQueueCalls_;
  replaceQueue(EntryList::ofSongs(songs));
  changeStatus(PlaybackStatus::stopped);
}

void SimulatedPlayer::setQueue(const std::vector<Song>& songs) {
  std::vector<std::shared_ptr<const Song>> shared;
  shared.reserve(songs.size());
  for (const Song& song : songs) shared.push_back(std::make_shared<const Song>(song));
  setQueue(shared);
}

void SimulatedPlayer::setEntries(std::vector<QueueEntry> entries) {
  std::vector<std::shared_ptr<const QueueEntry>> shared;
  shared.reserve(entries.size());
  for (QueueEntry& entry : entries) shared.push_back(std::make_shared<const QueueEntry>(std::move(entry)));
  replaceQueue(EntryList::ofEntries(std::move(shared)));
}

void SimulatedPlayer::replaceQueue(std::shared_ptr<const EntryList> entries) {
  // A new queue object: the old one, and whoever listens to it, hears nothing more.
  queue_ = std::make_shared<EntryQueue>(std::move(entries));
  anchor(0.0);
  rescheduleEnd();
}

void SimulatedPlayer::setCurrentIndex(std::optional<std::size_t> index) {
  if (index && *index >= queue_->entries->size()) index.reset();
  moveTo(index, 0.0);
}

void SimulatedPlayer::setStatus(PlaybackStatus status) { changeStatus(status); }

void SimulatedPlayer::setRawPlaybackTime(double seconds) {
  anchor(seconds);
  rescheduleEnd();
}

Future<Result<void>> SimulatedPlayer::later(Operation operation, std::function<std::optional<Error>()> refusal,
                                            std::function<void()> effect) {
  Completer<Result<void>> completer(loop_);
  auto future = completer.future();
  std::erase_if(pending_, [](const Timer& t) { return !t.isValid(); });
  const auto latency = latencies_.find(operation);
  const Duration delay = latency == latencies_.end() ? SimulatedService::defaultLatency(operation) : latency->second;
  pending_.push_back(
      loop_.schedule(delay, [this, operation, completer, refusal = std::move(refusal), effect = std::move(effect)] {
        if (const auto failure = failures_.find(operation); failure != failures_.end()) {
          completer.complete(failure->second);
        } else if (std::optional<Error> error = refusal()) {
          completer.complete(*error);
        } else {
          // The waiter's resumption is queued before the notifications of the change, so that the
          // caller's answer can lead the reports; it still finds the change made when it runs.
          completer.complete(Result<void>{});
          effect();
        }
      }));
  return future;
}

std::optional<Error> SimulatedPlayer::refuseEmptyQueue() const {
  if (queue_->entries->empty()) return SimulatedService::playerError(1, "The queue is empty");
  return std::nullopt;
}

Future<Result<void>> SimulatedPlayer::play() {
  ++playCalls_;
  return later(
      Operation::play, [this] { return refuseEmptyQueue(); },
      [this, request = laterRequests_] {
        // A pause or a stop asked for while starting wins: the start still succeeds, but changes
        // nothing.
        if (laterRequests_ != request) return;
        if (!queue_->current) moveTo(0, 0.0);
        changeStatus(PlaybackStatus::playing);
      });
}

void SimulatedPlayer::pause() {
  ++pauseCalls_;
  ++laterRequests_;
  changeStatus(PlaybackStatus::paused);
}

void SimulatedPlayer::stop() {
  ++stopCalls_;
  ++laterRequests_;
  changeStatus(PlaybackStatus::stopped);
  anchor(0.0);
  rescheduleEnd();
}

void SimulatedPlayer::restartCurrentEntry() {
  ++restartCalls_;
  anchor(0.0);
  rescheduleEnd();
}

Future<Result<void>> SimulatedPlayer::skipToNextEntry() {
  ++skipNextCalls_;
  return later(
      Operation::skipToNextEntry, [this] { return refuseEmptyQueue(); },
      [this] {
        const std::size_t next = queue_->current ? *queue_->current + 1 : 0;
        if (next < queue_->entries->size()) {
          moveTo(next, 0.0);
        } else {
          moveTo(0, 0.0);  // past the last entry: as when the queue plays out
          changeStatus(PlaybackStatus::paused);
        }
      });
}

Future<Result<void>> SimulatedPlayer::skipToPreviousEntry() {
  ++skipPreviousCalls_;
  return later(
      Operation::skipToPreviousEntry, [this] { return refuseEmptyQueue(); },
      [this] {
        const std::size_t current = queue_->current.value_or(0);
        moveTo(current > 0 ? current - 1 : 0, 0.0);
      });
}

void SimulatedPlayer::setPlaybackTime(double seconds) {
  ++positionWrites_;
  anchor(seconds);
  if (status_ == PlaybackStatus::playing && queue_->currentEntry() && seconds >= entryLength()) {
    entryPlayedOut();
    return;
  }
  rescheduleEnd();
}

// ---- service ----

SimulatedService::SimulatedService(RunLoop& loop)
    : loop_(loop),
      player_(std::make_unique<SimulatedPlayer>(loop, latencies_, failures_)),
      catalog_(embeddedCatalog()) {}

SimulatedService::~SimulatedService() = default;

Duration SimulatedService::defaultLatency(Operation operation) {
  using std::chrono::milliseconds;
  switch (operation) {
    case Operation::catalogRequest: return milliseconds(100);
    case Operation::searchProbe: return milliseconds(50);
    case Operation::authorizationRequest: return milliseconds(20);
    case Operation::countryCode: return milliseconds(10);
    case Operation::subscription: return milliseconds(10);
    case Operation::play: return milliseconds(50);
    case Operation::skipToNextEntry: return milliseconds(20);
    case Operation::skipToPreviousEntry: return milliseconds(20);
  }
  return Duration{0};
}

Error SimulatedService::playerError(std::int64_t code, std::string text) {
  return Error{"tolvane.simulator", code, std::move(text)};
}

template <typename T>
Future<T> SimulatedService::answerLater(Operation operation, std::function<T()> answer) {
  Completer<T> completer(loop_);
  auto future = completer.future();
  std::erase_if(pending_, [](const Timer& t) { return !t.isValid(); });
  const auto latency = latencies_.find(operation);
  pending_.push_back(loop_.schedule(latency == latencies_.end() ? defaultLatency(operation) : latency->second,
                                    [completer, answer = std::move(answer)] { completer.complete(answer()); }));
  return future;
}

Future<Result<std::vector<Song>>> SimulatedService::catalogSongs(const std::vector<std::string>& ids) {
  if (recording_) catalogRequests_.push_back(ids);
  std::unordered_set<std::string> wanted(ids.begin(), ids.end());
  return answerLater<Result<std::vector<Song>>>(
      Operation::catalogRequest, [this, wanted = std::move(wanted)]() -> Result<std::vector<Song>> {
        if (auto failure = failures_.find(Operation::catalogRequest); failure != failures_.end())
          return failure->second;
        std::vector<Song> found;
        for (const Song& song : catalog_) {
          if (wanted.contains(song.id)) found.push_back(song);
        }
        return found;
      });
}

Future<Result<void>> SimulatedService::searchCatalog(const std::string& term, int /*limit*/) {
  if (recording_) searchTerms_.push_back(term);
  return answerLater<Result<void>>(Operation::searchProbe, [this]() -> Result<void> {
    if (auto failure = failures_.find(Operation::searchProbe); failure != failures_.end()) return failure->second;
    return {};
  });
}

Future<AuthorizationStatus> SimulatedService::requestAuthorization() {
  return answerLater<AuthorizationStatus>(Operation::authorizationRequest, [this] {
    if (statusAfterRequest_) authorization_ = *std::exchange(statusAfterRequest_, std::nullopt);
    return authorization_;
  });
}

Future<Result<std::string>> SimulatedService::currentCountryCode() {
  ++countryCodeRequests_;
  return answerLater<Result<std::string>>(Operation::countryCode, [this]() -> Result<std::string> {
    if (auto failure = failures_.find(Operation::countryCode); failure != failures_.end()) return failure->second;
    return countryCode_;
  });
}

Future<Result<Subscription>> SimulatedService::currentSubscription() {
  ++subscriptionRequests_;
  return answerLater<Result<Subscription>>(Operation::subscription, [this]() -> Result<Subscription> {
    if (auto failure = failures_.find(Operation::subscription); failure != failures_.end()) return failure->second;
    return Subscription{canPlayCatalogContent_};
  });
}

}  // namespace tolvane
