#include <cmath>
#include <cstdint>
#include <limits>

#include "music/word.h"
#include "player/player.h"
#include "player/song_object.h"

namespace tolvane {

namespace {

std::int64_t positionMilliseconds(double seconds) {
  if (!std::isfinite(seconds)) return 0;
  return wholeMilliseconds(std::max(seconds, 0.0));
}

std::optional<double> usable(const std::optional<double>& duration) {
  if (duration && std::isfinite(*duration)) return duration;
  return std::nullopt;
}

}  // namespace

void Player::report() {
  if (!loaded) return;

  const PlaybackStatus status = player.playbackStatus();
  const double t = player.playbackTime();
  const bool playing = status == PlaybackStatus::playing;

  JsonObject event;
  event.reserve(6);
  event.emplace("type", "state");
  event.emplace("status", word(status));
  event.emplace("positionMs", positionMilliseconds(t));
  if (token) event.emplace("token", *token);
  if (playing) started = true;

  const std::optional<QueueEntry> entry = player.queue()->currentEntry();
  if (!entry) {
    if (started) {
      end(event);
      write(Json(std::move(event)));
    }
    return;
  }

  JsonObject song;
  song.emplace("title", entry->title);
  if (entry->subtitle) song["artist"] = *entry->subtitle;

  if (entry->song) {
    const Song& catalogSong = *entry->song;
    const std::optional<double> d = usable(catalogSong.duration);
    addSongMembers(song, catalogSong);

    for (std::size_t i = 0; i < requested.size(); ++i) {
      if (requested[i] == catalogSong.id) {
        event["index"] = i;
        break;
      }
    }

    if (d && playing) lastPlayed = LastPlayed{catalogSong.id, t, *d};

    if (started && !playing) {
      const std::string* last = queued.empty() ? nullptr : &queued.back();
      // A: the last song stands at (or within a second of) its end.
      const bool lastAtEnd = last && *last == catalogSong.id && d && t >= *d - 1.0;
      // B: the position is back near zero after the last song was last seen near its end.
      const bool wrappedAfterLast =
          t < 1.0 && lastPlayed && last && *last == lastPlayed->id && lastPlayed->seconds >= lastPlayed->duration - 7.0;
      if (lastAtEnd || wrappedAfterLast) end(event);
    }
  }

  event["song"] = std::move(song);
  write(Json(std::move(event)));
}

}  // namespace tolvane
