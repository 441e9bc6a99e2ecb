#pragma once

// What the micro-benchmarks drive: the real Player, dispatcher and simulated service on a manual
// clock, with commands handed over as the reader thread hands them over, and helpers that keep
// the making and freeing of inputs out of the timed region.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "music/helper.h"
#include "music_service/simulated/catalog.h"
#include "music_service/simulated/simulated_service.h"
#include "platform/clock.h"
#include "platform/json.h"
#include "platform/run_loop.h"
#include "platform/task_launcher.h"
#include "player/player.h"

namespace tolvane::bench {

using namespace std::chrono_literals;

// How the Player's messages leave it. `count` only counts them, to time the Player alone;
// `serialise` also turns each one into its output line, as the production writer does before it
// writes the line out.
enum class Output { count, serialise };

class Rig {
 public:
  explicit Rig(Output output = Output::count)
      : player(Player::create(service, loop, [this, output](const Json& m) { take(m, output); })) {}

  // Hands `command` over by move, as the reader thread does, and runs the loop until nothing is
  // left to do now.
  void send(Json command) {
    loop.post([this, c = std::move(command)]() mutable { launcher.keep(runCommand(player, std::move(c))); });
    loop.runUntilIdle();
  }

  // Makes every service and player operation answer at once.
  void instant() {
    for (Operation op :
         {Operation::catalogRequest, Operation::searchProbe, Operation::authorizationRequest, Operation::countryCode,
          Operation::subscription, Operation::play, Operation::skipToNextEntry, Operation::skipToPreviousEntry}) {
      service.setLatency(op, 0ms);
    }
  }

  // Plays the catalog song `id` until playback has started (catalog and start latencies passed).
  void playStarted(const std::string& id) {
    send(Json{{"type", "play"}, {"id", "load"}, {"ids", JsonArray{Json(id)}}});
    loop.advance(200ms);
  }

  // Runs `command` once with every message kept, and returns the messages it wrote.
  std::vector<Json> trace(Json command) {
    keeping = true;
    kept.clear();
    send(std::move(command));
    keeping = false;
    return std::exchange(kept, {});
  }

  ManualClock clock;
  RunLoop loop{clock};
  SimulatedService service{loop};
  TaskLauncher launcher{loop};
  std::size_t messages = 0;
  bool keeping = false;
  std::vector<Json> kept;
  std::shared_ptr<Player> player;

 private:
  void take(const Json& message, Output output) {
    ++messages;
    if (output == Output::serialise) {
      line_.clear();  // one buffer reused from message to message, as the helper's writer does
      appendMessage(line_, message);
      benchmark::DoNotOptimize(line_.data());
    }
    if (keeping) kept.push_back(message);
  }

  std::string line_;
};

// The text of `message`'s member `key`, or "" when it has no such text.
inline std::string_view textOf(const Json& message, std::string_view key) {
  const Json* value = member(message, key);
  return value && value->is_string() ? std::string_view(value->get_string()) : std::string_view();
}

// `message` as written, for a report of what went wrong.
inline std::string lineOf(const Json& message) { return serializeMessage(message).value_or("(not writable)"); }

// The answer among `messages`, or null when there is none.
inline Json answerIn(const std::vector<Json>& messages) {
  for (const Json& m : messages) {
    if (textOf(m, "type") == "answer") return m;
  }
  return nullptr;
}

// Fresh copies of one command, made in batches with the timer paused. The helper moves each parsed
// command into its handling, so the copying is no part of what is measured; the batch size keeps
// the cost of pausing the timer negligible.
class CommandPool {
 public:
  CommandPool(Json prototype, std::size_t batch) : prototype_(std::move(prototype)), batch_(batch) { refill(); }

  Json take(benchmark::State& state) {
    if (ready_.empty()) {
      state.PauseTiming();
      refill();
      state.ResumeTiming();
    }
    Json command = std::move(ready_.back());
    ready_.pop_back();
    return command;
  }

 private:
  void refill() {
    ready_.clear();
    ready_.reserve(batch_);
    for (std::size_t i = 0; i < batch_; ++i) ready_.push_back(prototype_);
  }

  Json prototype_;
  std::size_t batch_;
  std::vector<Json> ready_;
};

// Holds values produced in the timed region and frees them in batches with the timer paused: on
// the reader thread a parsed command is handed over, not freed.
class Keeper {
 public:
  explicit Keeper(std::size_t batch) : batch_(batch) { kept_.reserve(batch_); }

  void keep(benchmark::State& state, std::optional<Json> value) {
    if (kept_.size() == batch_) {
      state.PauseTiming();
      kept_.clear();
      state.ResumeTiming();
    }
    kept_.push_back(std::move(value));
  }

 private:
  std::size_t batch_;
  std::vector<std::optional<Json>> kept_;
};

// A batch of about `budget` ids in total, and at least one item.
inline std::size_t batchFor(std::size_t idsPerItem, std::size_t budget = 16 * 1024) {
  return std::max<std::size_t>(1, budget / std::max<std::size_t>(1, idsPerItem));
}

// A "play" command of `n` ids: catalog ids in turn, every eighth one an id the catalog does not
// know (from a small set, so every id costs one look-up of a short string).
inline Json playCommand(std::size_t n) {
  static const char* const unknown[] = {"9000000001", "9000000002", "9000000003", "9000000004"};
  const std::vector<Song>& catalog = embeddedCatalog();
  JsonArray ids;
  std::size_t next = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 8 == 7) {
      ids.emplace_back(unknown[(i / 8) % 4]);
    } else {
      ids.emplace_back(catalog[next++ % catalog.size()].id);
    }
  }
  return Json{{"type", "play"}, {"id", 17}, {"ids", std::move(ids)}};
}

// The number of ids of playCommand(n) that the catalog knows.
inline std::size_t knownIn(std::size_t n) { return n - n / 8; }

// Time per id, in nanoseconds, as a counter: `ids` per iteration over the measured time, inverted.
inline benchmark::Counter nsPerId(std::size_t ids) {
  return benchmark::Counter(static_cast<double>(ids) * 1e-9,
                            benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace tolvane::bench
