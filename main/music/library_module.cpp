// The entry points of the music library module (library_module.h).

#include "music/library_module.h"

#include <string>
#include <type_traits>
#include <vector>

#include "music/library_helper.h"
#include "music/library_listing.h"
#include "music_service/gstreamer/audio_output.h"
#include "music_service/library/library_index.h"

extern "C" [[gnu::visibility("default")]] int tolvaneListSongs(const char* root, const char* indexFile, int termCount,
                                                               const char* const* terms) {
  using namespace tolvane;
  static_assert(std::is_same_v<decltype(&tolvaneListSongs), ListSongs>);
  const std::vector<std::string> words(terms, terms + (termCount > 0 ? termCount : 0));
  if (!root) return listSimulatedCatalog(words);
  return listLibrary(root, indexFile ? std::string(indexFile) : defaultIndexFile(root), words);
}

extern "C" [[gnu::visibility("default")]] int tolvaneRunLibraryHelper(const char* root, const char* indexFile,
                                                                      const char* audioOutput) {
  using namespace tolvane;
  static_assert(std::is_same_v<decltype(&tolvaneRunLibraryHelper), RunLibraryHelper>);
  return runLibraryHelper(root, indexFile ? std::string(indexFile) : defaultIndexFile(root),
                          audioOutput ? std::string(audioOutput) : std::string(defaultAudioOutput));
}
