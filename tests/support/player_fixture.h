#pragma once

// The real Player, dispatcher and simulated service on a manual clock. Nothing sleeps: time moves
// only through advance(), which fires every due timer in deadline order.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "music/helper.h"
#include "music_service/simulated/simulated_service.h"
#include "platform/clock.h"
#include "platform/json.h"
#include "platform/run_loop.h"
#include "platform/task_launcher.h"
#include "player/player.h"
#include "support/message_view.h"

namespace tolvane::testing {

using namespace std::chrono_literals;

class PlayerFixture : public ::testing::Test {
 protected:
  PlayerFixture()
      : player(Player::create(service, loop, [this](const tolvane::Json& m) { written.push_back(seen(m)); })) {
    service.recordRequests(true);
  }

  // Hands `command` over as the reader does, and runs the loop until nothing is left to do now.
  void send(Json command) {
    launcher.launch([p = player, c = testing::command(command)] { return runCommand(p, c); });
    loop.runUntilIdle();
  }
  void send(const char* text) { send(Json::parse(text)); }

  // Moves the clock, firing what falls due on the way.
  void advance(Duration d) { loop.advance(d); }

  // The messages written since the last call.
  std::vector<Json> take() { return std::exchange(written, {}); }
  // Messages of one "type" among those written so far (not consumed).
  std::vector<Json> ofType(const std::string& type) const {
    std::vector<Json> out;
    for (const auto& m : written)
      if (m.value("type", "") == type) out.push_back(m);
    return out;
  }

  // Plays `ids` to the point where playback has started (catalog and start latencies passed).
  void playStarted(const Json& ids, Json extra = Json::object()) {
    Json command = {{"type", "play"}, {"id", "load"}, {"ids", ids}};
    for (auto& [k, v] : extra.items()) command[k] = v;
    send(command);
    advance(200ms);
  }

  SimulatedPlayer& simPlayer() { return service.simulatedPlayer(); }

  // Whether the Player's repeating report timer is scheduled. Reports write nothing while nothing
  // is loaded, so a timer left running is visible only here.
  bool timerRunning() const { return player->timer && player->timer->isValid(); }

  ManualClock clock;
  RunLoop loop{clock};
  SimulatedService service{loop};
  TaskLauncher launcher{loop};
  std::vector<Json> written;
  std::shared_ptr<Player> player;
};

}  // namespace tolvane::testing
