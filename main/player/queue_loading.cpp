#include <algorithm>
#include <unordered_map>

#include "platform/memory.h"
#include "player/player.h"

namespace tolvane {

Task<Result<void>> Player::play(std::vector<std::string> ids, std::int64_t start, std::optional<Json> newToken) {
  // Reset. The player goes on playing what it plays until its queue is replaced below.
  const std::int64_t ownGeneration = ++generation;
  token = std::move(newToken);
  const bool replacingLarge = forgetLists();
  // The ids are kept as `requested` and read from there: a later play or stop replaces them only
  // after this one has given up (the generation check below).
  requested = std::move(ids);
  loaded = false;
  started = false;
  stopped = false;
  lastPlayed.reset();

  Result<std::vector<Song>> response = co_await service.catalogSongs(requested);
  if (!response) co_return response.error();
  if (generation != ownGeneration) co_return Result<void>{};  // a later play or a stop took over

  std::vector<Song>& items = response.value();
  std::unordered_map<std::string_view, std::shared_ptr<const Song>> table;
  table.reserve(items.size());
  for (Song& song : items) {
    if (table.contains(song.id)) continue;  // the first of equal ids wins
    auto shared = std::make_shared<const Song>(std::move(song));
    table.emplace(shared->id, std::move(shared));
  }

  std::vector<std::shared_ptr<const Song>> found;
  reserveLarge(found, requested.size());
  for (const std::string& id : requested) {
    if (auto it = table.find(id); it != table.end()) found.push_back(it->second);
  }
  if (found.empty()) co_return notFoundError();

  const auto n = static_cast<std::int64_t>(requested.size());
  const std::int64_t p = std::clamp<std::int64_t>(start, 0, n - 1);
  const Song* startSong = found.front().get();
  for (std::int64_t i = p; i < n; ++i) {
    if (auto it = table.find(requested[static_cast<std::size_t>(i)]); it != table.end()) {
      startSong = it->second.get();
      break;
    }
  }
  const auto k = static_cast<std::size_t>(
      std::find_if(found.begin(), found.end(), [&](const auto& s) { return s->id == startSong->id; }) - found.begin());

  found.erase(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(k));
  reserveLarge(queued, found.size());
  for (const auto& song : found) queued.push_back(song->id);

  player.setQueue(found);
  if (replacingLarge) returnFreeMemory();  // the previous queue is gone from the player too now
  watchQueue();
  loaded = true;

  Result<void> playing = co_await player.play();
  if (!playing) co_return playing.error();
  if (generation == ownGeneration) {
    keepReporting();
  } else if (stopped) {
    player.stop();  // a stop came while the player was starting
  }
  co_return Result<void>{};
}

}  // namespace tolvane
