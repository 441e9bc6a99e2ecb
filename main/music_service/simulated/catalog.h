#pragma once

#include <vector>

#include "music_service/music_service.h"

namespace tolvane {

// The catalog embedded in the simulated service, in its own order.
const std::vector<Song>& embeddedCatalog();

// How long a song without a duration plays, in seconds.
inline constexpr double defaultPlayingSeconds = 30.0;

}  // namespace tolvane
