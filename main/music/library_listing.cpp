#include "music/library_listing.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <tuple>

#include "music/write.h"
#include "music_service/library/artwork_store.h"
#include "music_service/library/library_index.h"
#include "music_service/library/scanner.h"
#include "music_service/library/text.h"
#include "music_service/simulated/catalog.h"
#include "player/song_object.h"

namespace tolvane {

namespace {

// One song line; false when standard output fails.
bool printSong(const Song& song, std::string& buffer) {
  buffer.clear();
  if (!appendMessage(buffer, songObject(song))) return true;  // cannot be written as JSON: left out
  buffer += '\n';
  return writeAll(STDOUT_FILENO, buffer);
}

void printToError(const std::string& text) { writeAll(STDERR_FILENO, text); }

std::string countsText(const ScanCounts& counts) {
  return std::to_string(counts.seen) + " audio files seen, " + std::to_string(counts.indexed) + " songs indexed, " +
         std::to_string(counts.skipped) + " skipped";
}

}  // namespace

bool matchesEveryTerm(const std::string& title, const std::string& artist, const std::string& album,
                      const std::vector<std::string>& terms) {
  if (terms.empty()) return true;
  const std::string haystack = searchKey(title) + "\n" + searchKey(artist) + "\n" + searchKey(album);
  return std::all_of(terms.begin(), terms.end(),
                     [&](const std::string& term) { return haystack.find(searchKey(term)) != std::string::npos; });
}

int listSimulatedCatalog(const std::vector<std::string>& terms) {
  std::vector<const Song*> songs;
  for (const Song& song : embeddedCatalog()) {
    if (matchesEveryTerm(song.title, song.artistName, song.albumTitle.value_or(""), terms)) songs.push_back(&song);
  }
  const auto key = [](const Song* song) {
    return std::make_tuple(searchKey(song->artistName), searchKey(song->albumTitle.value_or("")),
                           searchKey(song->title));
  };
  std::stable_sort(songs.begin(), songs.end(), [&](const Song* a, const Song* b) { return key(a) < key(b); });
  std::string buffer;
  for (const Song* song : songs) {
    if (!printSong(*song, buffer)) return 0;  // nobody reads any more
  }
  return 0;
}

int listLibrary(const std::string& root, const std::string& indexFile, const std::vector<std::string>& terms) {
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  auto shown = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  const ScanProgress progress = [&](const ScanCounts& counts) {
    if (!terminal) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - shown < std::chrono::milliseconds(250)) return;
    shown = now;
    printToError("\r\033[Kscanning: " + countsText(counts));
  };
  const ArtworkStore artwork(cacheFolder() + "/artwork");
  Result<ScanCounts> scanned = scanLibrary(root, indexFile, artwork, progress);
  if (terminal) printToError("\r\033[K");
  if (!scanned) {
    printToError("tolvane: cannot index " + root + ": " + scanned.error().localizedDescription + "\n");
    return 1;
  }
  const ScanCounts& counts = scanned.value();
  printToError("tolvane: " + countsText(counts) + " (" + std::to_string(counts.read) + " read, " +
               std::to_string(counts.removed) + " removed)\n");

  Result<LibraryIndex> index = LibraryIndex::open(indexFile, root);
  if (!index) {
    printToError("tolvane: cannot read the index of " + root + ": " + index.error().localizedDescription + "\n");
    return 1;
  }
  Result<std::vector<IndexedSong>> songs = index.value().songs(terms);
  if (!songs) {
    printToError("tolvane: cannot read the index of " + root + ": " + songs.error().localizedDescription + "\n");
    return 1;
  }
  std::string buffer;
  for (const IndexedSong& song : songs.value()) {
    if (!printSong(index.value().songOf(song), buffer)) return 0;
  }
  return 0;
}

}  // namespace tolvane
