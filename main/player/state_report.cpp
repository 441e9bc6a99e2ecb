#include <cmath>
#include <cstdint>
#include <limits>

#include "music/word.h"
#include "player/player.h"

namespace tolvane {

namespace {

// Seconds as whole milliseconds, truncated toward zero; values outside the 64-bit range saturate.
std::int64_t wholeMilliseconds(double seconds) {
  const double ms = seconds * 1000.0;
  constexpr double limit = 9223372036854775808.0;  // 2^63
  if (std::isnan(ms)) return 0;
  if (ms >= limit) return std::numeric_limits<std::int64_t>::max();
  if (ms <= -limit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(ms);
}

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

  Json event = {{"type", "state"}, {"status", word(status)}, {"positionMs", positionMilliseconds(t)}};
  if (token) event["token"] = *token;
  if (playing) started = true;

  const std::optional<QueueEntry> entry = player.queue()->currentEntry();
  if (!entry) {
    if (started) {
      end(event);
      write(event);
    }
    return;
  }

  Json song = {{"title", entry->title}};
  if (entry->subtitle) song["artist"] = *entry->subtitle;

  if (entry->song) {
    const Song& catalogSong = *entry->song;
    const std::optional<double> d = usable(catalogSong.duration);
    song["id"] = catalogSong.id;
    song["artist"] = catalogSong.artistName;
    if (catalogSong.albumTitle) song["album"] = *catalogSong.albumTitle;
    if (d) song["durationMs"] = wholeMilliseconds(*d);
    if (catalogSong.artwork) {
      if (auto url = catalogSong.artwork->url(600, 600)) song["artwork"] = *url;
    }
    if (catalogSong.url) song["link"] = *catalogSong.url;

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
  write(event);
}

}  // namespace tolvane
