#include "player/song_object.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace tolvane {

std::int64_t wholeMilliseconds(double seconds) {
  const double ms = seconds * 1000.0;
  constexpr double limit = 9223372036854775808.0;  // 2^63
  if (std::isnan(ms)) return 0;
  if (ms >= limit) return std::numeric_limits<std::int64_t>::max();
  if (ms <= -limit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(ms);
}

void addSongMembers(JsonObject& object, const Song& song) {
  object["id"] = song.id;
  object["artist"] = song.artistName;
  if (song.albumTitle) object["album"] = *song.albumTitle;
  if (song.duration && std::isfinite(*song.duration)) object["durationMs"] = wholeMilliseconds(*song.duration);
  if (song.artwork) {
    if (auto url = song.artwork->url(600, 600)) object["artwork"] = *url;
  }
  if (song.url) object["link"] = *song.url;
}

JsonObject songObject(const Song& song) {
  JsonObject object;
  object.emplace("title", song.title);
  addSongMembers(object, song);
  return object;
}

}  // namespace tolvane
