#pragma once

#include "music_service/music_service.h"
#include "platform/json.h"

namespace tolvane {

// Adds what a catalog song tells of itself to the "song" object of a state report: "id", "artist"
// (the song's artist name), and when the song has them "album", "durationMs", "artwork" (the URL
// for 600 by 600 pixels) and "link".
void addSongMembers(JsonObject& object, const Song& song);

// The whole "song" object of a catalog song, its title included, as a state report writes it.
JsonObject songObject(const Song& song);

// Seconds as whole milliseconds, truncated toward zero; values outside the 64-bit range saturate.
std::int64_t wholeMilliseconds(double seconds);

}  // namespace tolvane
