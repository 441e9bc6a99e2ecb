#pragma once

// Brings a library's index up to date with its folder: new and changed audio files are read, files
// gone from disk leave the index, unchanged ones are not opened.

#include <cstddef>
#include <functional>
#include <string>

#include "music_service/library/artwork_store.h"
#include "music_service/library/library_index.h"

namespace tolvane {

struct ScanCounts {
  std::size_t seen = 0;     // audio files found (by name)
  std::size_t indexed = 0;  // songs in the index after the scan
  std::size_t read = 0;     // files opened because they were new or changed
  std::size_t skipped = 0;  // files that could not be read or are not audio after all
  std::size_t removed = 0;  // files gone from disk since the last scan
};

using ScanProgress = std::function<void(const ScanCounts&)>;

// Scans the folder `root` (absolute) into the index file `indexFile`. Only one scan of an index runs
// at a time: a second one waits for the first and then finds little to do. Progress is reported
// every few hundred files. Runs on the calling thread, which must not be the main loop's.
Result<ScanCounts> scanLibrary(const std::string& root, const std::string& indexFile, const ArtworkStore& artwork,
                               const ScanProgress& progress = {});

}  // namespace tolvane
