#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "music_service/music_service.h"
#include "platform/error.h"
#include "platform/json.h"
#include "platform/publisher.h"
#include "platform/run_loop.h"
#include "platform/task.h"

namespace tolvane {

// Puts one message on the output; the production writer is tolvane::write.
using Writer = std::function<void(const Json& message)>;

// The one object that holds the playback bookkeeping and carries out the commands.
//
// Main loop only: every field is read and written there, and every operation runs there.
// Notification reports reach the Player through a weak reference; timer reports hold it strongly.
class Player : public std::enable_shared_from_this<Player> {
 public:
  // The last catalog song seen playing, where it was seen and how long it is.
  struct LastPlayed {
    std::string id;
    double seconds = 0;
    double duration = 0;
  };

  // Builds the Player and subscribes it to the player's state and queue notifications.
  static std::shared_ptr<Player> create(MusicService& service, RunLoop& loop, Writer write);

  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // Carries out one command and writes its answer, then a state report. Never fails.
  Task<> handle(Json command);

  // Loads the catalog songs `ids` from position `start` and plays them; `token` is echoed in every
  // state report. Fails with the service's error, or the not-found error when no id is known.
  Task<Result<void>> play(std::vector<std::string> ids, std::int64_t start, std::optional<Json> token);

  // Whether catalog songs can be played now, and why not. Never fails.
  Task<JsonObject> check();

  // Subscribes to the current queue object's notifications, ending the previous subscription.
  void watchQueue();
  // (Re)starts the 5-second report timer.
  void keepReporting();
  // Stops playback and forgets the loaded queue.
  void stop();
  // Writes a state report while a queue is loaded.
  void report();

  MusicService& service;
  Writer write;
  MusicPlayer& player;
  std::vector<std::string> requested;
  std::vector<std::string> queued;
  std::optional<Json> token;
  bool loaded = false;
  bool started = false;
  bool stopped = false;
  std::int64_t generation = 0;
  std::optional<LastPlayed> lastPlayed;
  std::optional<Cancellable> stateWatch;
  std::optional<Cancellable> queueWatch;
  std::optional<Timer> timer;

  // How often the report timer reports.
  static constexpr Duration reportInterval = std::chrono::seconds(5);

 private:
  // Only create() makes Players; the tag keeps the constructor usable by make_shared alone.
  struct ConstructionTag {
    explicit ConstructionTag() = default;
  };

 public:
  Player(ConstructionTag, MusicService& service, RunLoop& loop, Writer write);

 private:
  // Lists of this many ids or more are large: their memory goes back to the system when the queue
  // is stopped or replaced.
  static constexpr std::size_t largeQueue = 10'000;
  // Empties `requested` and `queued`, releasing their memory; true if they were large.
  bool forgetLists();
  // Marks `event` as the end of the queue and stops reporting.
  void end(JsonObject& event);
  // A receiver for will-change notifications: reports later, on the main loop, if still alive.
  std::function<void()> reportLater();
  void invalidateTimer();

  RunLoop& loop_;
};

}  // namespace tolvane
