#pragma once

#include <memory>

#include "platform/json.h"
#include "platform/task.h"

namespace tolvane {

class Player;

// The process entry point. No instances, no state.
class Helper {
 public:
  Helper() = delete;
  // Starts the helper on this process's standard input and output and runs it until the process
  // ends; returns only if the main loop does.
  static int main();
};

// The top-level task of one command: holds the Player until the command is done.
Task<> runCommand(std::shared_ptr<Player> player, Json command);

}  // namespace tolvane
