#pragma once

// tolvane --list: the songs of a catalog, one JSON object a line on standard output, each the
// "song" object a state report carries, ordered by artist, album, disc, track and title.

#include <string>
#include <vector>

namespace tolvane {

// Whether the song's title, artist or album contains every term, ignoring case and diacritics.
bool matchesEveryTerm(const std::string& title, const std::string& artist, const std::string& album,
                      const std::vector<std::string>& terms);

// The simulated catalog. Returns the exit status.
int listSimulatedCatalog(const std::vector<std::string>& terms);

// The library in `root` (absolute), whose index `indexFile` is brought up to date first. While it
// scans, a line on stderr counts what it has seen when stderr is a terminal; a summary line ends
// the scan in any case. Returns the exit status.
int listLibrary(const std::string& root, const std::string& indexFile, const std::vector<std::string>& terms);

}  // namespace tolvane
