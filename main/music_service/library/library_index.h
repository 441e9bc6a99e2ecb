#pragma once

// The index of one music library: an SQLite database of the library's songs, by path relative to
// the library's folder, with each file's size and modification time so that a rescan reads only
// what changed. One connection per thread; WAL mode lets readers see a consistent state while a
// scan writes.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "music_service/library/sqlite.h"
#include "music_service/library/tag_reader.h"
#include "music_service/music_service.h"

namespace tolvane {

// Size and modification time of a file, as the index saw them.
struct FileStamp {
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// A file the index knows: a song, or a file that was skipped.
struct KnownFile {
  FileStamp stamp;
  bool song = false;
};

struct IndexedSong {
  std::int64_t id = 0;
  std::string path;  // relative to the library's folder, as bytes
  std::string title;
  std::string artist;
  std::optional<std::string> album;
  std::int64_t disc = 0;
  std::int64_t track = 0;
  std::int64_t durationMs = 0;
  std::optional<std::string> artworkPath;  // the stored JPEG
};

class LibraryIndex {
 public:
  // Opens the index file `file` of the library whose absolute folder is `root`, creating it when
  // missing. A file that is not such an index (not a database, damaged, another program's, or
  // another library's) is set aside as `file`.bad and a new index is made in its place.
  static Result<LibraryIndex> open(const std::string& file, const std::string& root);

  const std::string& root() const { return root_; }
  const std::string& file() const { return file_; }

  // Every file the index knows, songs and skipped files, with its stamp.
  Result<std::unordered_map<std::string, KnownFile>> knownFiles();

  // Writes go in transactions, so that an interrupted scan leaves what it committed.
  Result<void> begin();
  Result<void> commit();
  // Adds or replaces the song at `path`; a new path gets its id here.
  Result<void> putSong(const std::string& path, FileStamp stamp, const FileTags& tags,
                       const std::optional<std::string>& artworkPath);
  // Remembers a file that is not a song, so that it is not read again while it stays unchanged.
  Result<void> putSkipped(const std::string& path, FileStamp stamp);
  Result<void> remove(const std::string& path);

  // The songs whose title, artist or album contains every one of `terms` (compared as search
  // keys), ordered by artist, album, disc, track and title.
  Result<std::vector<IndexedSong>> songs(const std::vector<std::string>& terms = {});
  // The songs with these ids, each once, in no particular order; ids that are not numbers or not
  // known are left out.
  Result<std::vector<IndexedSong>> lookup(const std::vector<std::string>& ids);
  // Reads the index once: succeeds when it can be read.
  Result<void> probe();
  std::int64_t songCount();

  // The song as the music service gives it.
  Song songOf(const IndexedSong& song) const;

 private:
  LibraryIndex(Database db, std::string file, std::string root)
      : db_(std::move(db)), file_(std::move(file)), root_(std::move(root)) {}
  static Result<LibraryIndex> openOnce(const std::string& file, const std::string& root);
  Result<std::int64_t> freeIdFor(const std::string& path);
  static IndexedSong rowOf(const Statement& statement);

  Database db_;
  std::string file_;
  std::string root_;
};

// The index file of the library at `root` in the cache folder (XDG_CACHE_HOME, else ~/.cache),
// named after the library's absolute path.
std::string defaultIndexFile(const std::string& root);
// The folder of tolvane's cache (made when missing).
std::string cacheFolder();

}  // namespace tolvane
