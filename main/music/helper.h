#pragma once

#include <functional>
#include <memory>

#include "music_service/music_service.h"
#include "platform/json.h"
#include "platform/run_loop.h"
#include "platform/task.h"

namespace tolvane {

class Player;

// Makes the music service the helper runs on, on the main loop `loop`. The helper keeps it for the
// life of the process.
using ServiceMaker = std::function<std::shared_ptr<MusicService>(RunLoop& loop)>;

// The process entry point. No instances, no state.
class Helper {
 public:
  Helper() = delete;
  // Starts the helper on this process's standard input and output, on the simulated music service,
  // and runs it until the process ends; returns only if the main loop does.
  static int main();
  // The same on the service that `makeService` makes.
  static int main(const ServiceMaker& makeService);
};

// The top-level task of one command: holds the Player, and the storage the command was made in,
// until the command is done.
Task<> runCommand(std::shared_ptr<Player> player, Json command, std::shared_ptr<const void> storage = {});

}  // namespace tolvane
