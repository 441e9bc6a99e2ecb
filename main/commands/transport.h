#pragma once

// The rows that act on the loaded queue. The dispatcher guards all but "stop" with `loaded`
// before calling them; a row never writes the answer itself.

#include "platform/error.h"
#include "platform/json.h"
#include "platform/task.h"
#include "player/player.h"

namespace tolvane::transport {

// Cannot fail; also runs when nothing is loaded, and may be repeated.
void stop(Player& player);
// Cannot fail; the report timer keeps running.
void pause(Player& player);
// Continues playback, then restarts the report timer (whatever happened meanwhile). A failed
// resume starts no timer.
Task<Result<void>> resume(Player& player);
Task<Result<void>> next(Player& player);
// Restarts the current entry after more than this many seconds of it, else skips back.
inline constexpr double restartThreshold = 3.0;
Task<Result<void>> previous(Player& player);
// Moves to "ms" / 1000 seconds; a missing, non-numeric or negative "ms" means 0. No upper bound.
void seek(Player& player, const Json& command);

}  // namespace tolvane::transport
