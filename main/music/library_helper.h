#pragma once

// The helper on a music library: the library's index as the catalog, its songs played by GStreamer.

#include <string>

namespace tolvane {

// Runs the helper on the library in `root` (absolute) with its index in `indexFile`, playing to the
// audio output `audioOutput`. The index is brought up to date once, at start, on a thread of its
// own at low priority; catalog requests meanwhile read what it holds. Returns only if the main loop
// does.
int runLibraryHelper(const std::string& root, const std::string& indexFile, const std::string& audioOutput);

}  // namespace tolvane
