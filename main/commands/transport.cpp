#include "commands/transport.h"

namespace tolvane::transport {

void stop(Player& player) { player.stop(); }

void pause(Player& player) { player.player.pause(); }

Task<Result<void>> resume(Player& player) {
  Result<void> result = co_await player.player.play();
  if (result) player.keepReporting();  // even if a stop came meanwhile: `loaded` is not looked at again
  co_return result;
}

Task<Result<void>> next(Player& player) { co_return co_await player.player.skipToNextEntry(); }

Task<Result<void>> previous(Player& player) {
  if (player.player.playbackTime() > restartThreshold) {
    player.player.restartCurrentEntry();
    co_return Result<void>{};
  }
  co_return co_await player.player.skipToPreviousEntry();
}

void seek(Player& player, const Json& command) {
  double seconds = 0.0;
  if (const Json* ms = member(command, "ms"); ms && ms->is_number()) seconds = ms->to_number<double>() / 1000.0;
  if (!(seconds >= 0.0)) seconds = 0.0;
  player.player.setPlaybackTime(seconds);
}

}  // namespace tolvane::transport
