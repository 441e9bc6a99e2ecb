#include <algorithm>
#include <unordered_map>

#include "player/player.h"

namespace tolvane {

Task<Result<void>> Player::play(std::vector<std::string> ids, std::int64_t start, std::optional<Json> newToken) {
  // Reset. The player goes on playing what it plays until its queue is replaced below.
  const std::int64_t ownGeneration = ++generation;
  token = std::move(newToken);
  requested = ids;
  queued.clear();
  loaded = false;
  started = false;
  stopped = false;
  lastPlayed.reset();

  Result<std::vector<Song>> response = co_await service.catalogSongs(ids);
  if (!response) co_return response.error();
  if (generation != ownGeneration) co_return Result<void>{};  // a later play or a stop took over

  const std::vector<Song>& items = response.value();
  std::unordered_map<std::string_view, const Song*> table;
  table.reserve(items.size());
  for (const Song& song : items) table.try_emplace(song.id, &song);  // the first of equal ids wins

  std::vector<const Song*> found;
  found.reserve(ids.size());
  for (const std::string& id : ids) {
    if (auto it = table.find(id); it != table.end()) found.push_back(it->second);
  }
  if (found.empty()) co_return notFoundError();

  const auto n = static_cast<std::int64_t>(ids.size());
  const std::int64_t p = std::clamp<std::int64_t>(start, 0, n - 1);
  const Song* startSong = found.front();
  for (std::int64_t i = p; i < n; ++i) {
    if (auto it = table.find(ids[static_cast<std::size_t>(i)]); it != table.end()) {
      startSong = it->second;
      break;
    }
  }
  const auto k = static_cast<std::size_t>(
      std::find_if(found.begin(), found.end(), [&](const Song* s) { return s->id == startSong->id; }) - found.begin());

  std::vector<Song> queueList;
  queueList.reserve(found.size() - k);
  for (std::size_t i = k; i < found.size(); ++i) {
    queueList.push_back(*found[i]);
    queued.push_back(found[i]->id);
  }

  player.setQueue(queueList);
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
