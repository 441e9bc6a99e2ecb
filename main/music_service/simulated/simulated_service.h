#pragma once

// The simulated music service: an embedded catalog and a player that plays in time on the main
// loop's clock. Its waits are timers, so it costs nothing while it waits.
//
// The part of the interface below "For tests" lets tests change latencies, statuses, failures and
// songs. Nothing in the helper's input, arguments or environment reaches it.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "music_service/entry_list.h"
#include "music_service/music_service.h"
#include "platform/run_loop.h"

namespace tolvane {

// The asynchronous operations, to name one in the test interface.
enum class Operation {
  catalogRequest,
  searchProbe,
  authorizationRequest,
  countryCode,
  subscription,
  play,
  skipToNextEntry,
  skipToPreviousEntry,
};

class SimulatedPlayer final : public MusicPlayer {
 public:
  SimulatedPlayer(RunLoop& loop, const std::map<Operation, Duration>& latencies,
                  const std::map<Operation, Error>& failures);
  SimulatedPlayer(const SimulatedPlayer&) = delete;
  SimulatedPlayer& operator=(const SimulatedPlayer&) = delete;
  ~SimulatedPlayer() override;

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

  // For tests.
  // A queue of copies of `songs`.
  void setQueue(const std::vector<Song>& songs);
  // Sets the status as a platform event would (an interruption, say), with its notification.
  void setStatus(PlaybackStatus status);
  // Replaces the queue with arbitrary entries (non-catalog items included), current entry first.
  void setEntries(std::vector<QueueEntry> entries);
  // Moves the current queue to entry `index` at 0 (no current entry when out of range), with the
  // queue's notification.
  void setCurrentIndex(std::optional<std::size_t> index);
  // Sets the position as a platform event would, without ending the entry.
  void setRawPlaybackTime(double seconds);
  std::size_t stopCalls() const { return stopCalls_; }
  std::size_t pauseCalls() const { return pauseCalls_; }
  std::size_t restartCalls() const { return restartCalls_; }
  std::size_t playCalls() const { return playCalls_; }
  std::size_t skipNextCalls() const { return skipNextCalls_; }
  std::size_t skipPreviousCalls() const { return skipPreviousCalls_; }
  std::size_t setQueueCalls() const { return setQueueCalls_; }
  // Every call that touches the player, counted together.
  std::size_t calls() const;

 private:
  void replaceQueue(std::shared_ptr<const EntryList> entries);
  void changeStatus(PlaybackStatus status);
  void moveTo(std::optional<std::size_t> index, double seconds);
  void anchor(double seconds);
  void rescheduleEnd();
  void entryPlayedOut();
  double entryLength() const;
  // Completes after the operation's latency: with its configured failure, with the refusal's error,
  // or with success followed by the effect.
  Future<Result<void>> later(Operation operation, std::function<std::optional<Error>()> refusal,
                             std::function<void()> effect);
  std::optional<Error> refuseEmptyQueue() const;

  RunLoop& loop_;
  const std::map<Operation, Duration>& latencies_;
  const std::map<Operation, Error>& failures_;
  Publisher stateWillChange_;
  std::shared_ptr<EntryQueue> queue_;
  PlaybackStatus status_ = PlaybackStatus::stopped;
  double anchorSeconds_ = 0.0;  // position at anchorTime_
  TimePoint anchorTime_{};
  Timer endTimer_;
  std::vector<Timer> pending_;       // operations in flight
  std::uint64_t laterRequests_ = 0;  // pauses and stops, which overrule a play() still starting
  std::size_t stopCalls_ = 0, pauseCalls_ = 0, restartCalls_ = 0, playCalls_ = 0, skipNextCalls_ = 0,
              skipPreviousCalls_ = 0, setQueueCalls_ = 0, positionWrites_ = 0;
};

class SimulatedService final : public MusicService {
 public:
  explicit SimulatedService(RunLoop& loop);
  SimulatedService(const SimulatedService&) = delete;
  SimulatedService& operator=(const SimulatedService&) = delete;
  ~SimulatedService() override;

  MusicPlayer& player() override { return *player_; }
  Future<Result<std::vector<Song>>> catalogSongs(const std::vector<std::string>& ids) override;
  Future<Result<void>> searchCatalog(const std::string& term, int limit) override;
  AuthorizationStatus authorizationStatus() const override { return authorization_; }
  Future<AuthorizationStatus> requestAuthorization() override;
  Future<Result<std::string>> currentCountryCode() override;
  Future<Result<Subscription>> currentSubscription() override;

  // For tests.
  SimulatedPlayer& simulatedPlayer() { return *player_; }
  static Duration defaultLatency(Operation operation);
  void setLatency(Operation operation, Duration latency) { latencies_[operation] = latency; }
  // Makes every later call of `operation` fail with `error`, until cleared.
  void setFailure(Operation operation, Error error) { failures_[operation] = std::move(error); }
  void clearFailure(Operation operation) { failures_.erase(operation); }
  void setAuthorizationStatus(AuthorizationStatus status) { authorization_ = status; }
  // The status that the next authorization request sets before it answers.
  void setStatusAfterRequest(std::optional<AuthorizationStatus> status) { statusAfterRequest_ = status; }
  void setCountryCode(std::string code) { countryCode_ = std::move(code); }
  void setCanPlayCatalogContent(bool canPlay) { canPlayCatalogContent_ = canPlay; }
  // Appends a song to the catalog (its id may repeat one already there).
  void addSong(Song song) { catalog_.push_back(std::move(song)); }
  const std::vector<Song>& catalog() const { return catalog_; }
  // Keeps the ids of every catalog request and the term of every search from now on. Off unless a
  // test turns it on: a running helper must not hold on to what every command asked for.
  void recordRequests(bool on) { recording_ = on; }
  // The catalog requests and searches recorded, in order.
  const std::vector<std::vector<std::string>>& catalogRequests() const { return catalogRequests_; }
  const std::vector<std::string>& searchTerms() const { return searchTerms_; }
  std::size_t subscriptionRequests() const { return subscriptionRequests_; }
  std::size_t countryCodeRequests() const { return countryCodeRequests_; }

  // Simulated errors.
  static Error playerError(std::int64_t code, std::string text);

 private:
  template <typename T>
  Future<T> answerLater(Operation operation, std::function<T()> answer);

  RunLoop& loop_;
  std::map<Operation, Duration> latencies_;
  std::map<Operation, Error> failures_;
  std::unique_ptr<SimulatedPlayer> player_;
  std::vector<Song> catalog_;
  AuthorizationStatus authorization_ = AuthorizationStatus::authorized;
  std::optional<AuthorizationStatus> statusAfterRequest_;
  std::string countryCode_ = "us";
  bool canPlayCatalogContent_ = true;
  bool recording_ = false;
  std::vector<std::vector<std::string>> catalogRequests_;
  std::vector<std::string> searchTerms_;
  std::size_t subscriptionRequests_ = 0;
  std::size_t countryCodeRequests_ = 0;
  std::vector<Timer> pending_;
};

}  // namespace tolvane
