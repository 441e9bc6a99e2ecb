#include "music_service/music_service.h"

namespace tolvane {

std::string describe(PlaybackStatus status) {
  switch (status) {
    case PlaybackStatus::stopped: return "stopped";
    case PlaybackStatus::playing: return "playing";
    case PlaybackStatus::paused: return "paused";
    case PlaybackStatus::interrupted: return "interrupted";
    case PlaybackStatus::seekingForward: return "seekingForward";
    case PlaybackStatus::seekingBackward: return "seekingBackward";
  }
  return "unknown";
}

std::string describe(AuthorizationStatus status) {
  switch (status) {
    case AuthorizationStatus::notDetermined: return "notDetermined";
    case AuthorizationStatus::denied: return "denied";
    case AuthorizationStatus::restricted: return "restricted";
    case AuthorizationStatus::authorized: return "authorized";
  }
  return "unknown";
}

std::optional<std::string> Artwork::url(int width, int height) const {
  if (width <= 0 || height <= 0) return std::nullopt;
  std::string text = urlTemplate;
  auto replace = [&text](std::string_view key, int value) {
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
      text.replace(at, key.size(), std::to_string(value));
    }
  };
  replace("{w}", width);
  replace("{h}", height);
  return text;
}

}  // namespace tolvane
