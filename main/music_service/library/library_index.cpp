#include "music_service/library/library_index.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "music_service/library/text.h"
#include "platform/utf8.h"

namespace tolvane {

namespace {

// "TOLV" in the database header: tells our index from any other SQLite file.
constexpr std::int64_t applicationId = 0x544f4c56;
constexpr std::int64_t schemaVersion = 1;

constexpr const char* schema = R"(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS songs(
  path BLOB PRIMARY KEY,
  id INTEGER NOT NULL UNIQUE,
  size INTEGER NOT NULL,
  modified_ns INTEGER NOT NULL,
  title TEXT NOT NULL,
  artist TEXT NOT NULL,
  album TEXT,
  disc INTEGER NOT NULL,
  track INTEGER NOT NULL,
  duration_ms INTEGER NOT NULL,
  artwork TEXT,
  search TEXT NOT NULL,
  sort_artist TEXT NOT NULL,
  sort_album TEXT NOT NULL,
  sort_title TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS songs_order ON songs(sort_artist, sort_album, disc, track, sort_title, path);
CREATE TABLE IF NOT EXISTS skipped(path BLOB PRIMARY KEY, size INTEGER NOT NULL, modified_ns INTEGER NOT NULL);
)";

constexpr const char* songColumns = "id, path, title, artist, album, disc, track, duration_ms, artwork";

// The file name without its folder and extension, for a song without a title tag.
std::string baseName(const std::string& path) {
  const auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

}  // namespace

std::string cacheFolder() {
  std::string base;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.cache";
  } else {
    base = "/tmp";
  }
  ::mkdir(base.c_str(), 0700);
  const std::string folder = base + "/tolvane";
  ::mkdir(folder.c_str(), 0700);
  return folder;
}

std::string defaultIndexFile(const std::string& root) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(songIdOf(root)));
  return cacheFolder() + "/library-" + hex + ".sqlite";
}

Result<LibraryIndex> LibraryIndex::open(const std::string& file, const std::string& root) {
  Result<LibraryIndex> index = openOnce(file, root);
  if (index) return index;
  // Not ours, or damaged: set it aside (with its journal files) and start afresh.
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string from = file + suffix;
    const std::string to = file + ".bad" + suffix;
    if (::rename(from.c_str(), to.c_str()) != 0) ::unlink(from.c_str());
  }
  return openOnce(file, root);
}

Result<LibraryIndex> LibraryIndex::openOnce(const std::string& file, const std::string& root) {
  Result<Database> opened = Database::open(file);
  if (!opened) return opened.error();
  Database db = std::move(opened.value());
  // The first read of the header tells a database from anything else. Each statement is gone
  // before the next begins: one left open keeps a read transaction open.
  std::int64_t id = 0;
  bool empty = false;
  {
    Result<Statement> idQuery = db.prepare("PRAGMA application_id");
    if (!idQuery) return idQuery.error();
    if (!idQuery.value().step()) return idQuery.value().failure().value_or(db.lastError());
    id = idQuery.value().integer(0);
  }
  {
    Result<Statement> tables = db.prepare("SELECT count(*) FROM sqlite_schema");
    if (!tables) return tables.error();
    if (!tables.value().step()) return tables.value().failure().value_or(db.lastError());
    empty = tables.value().integer(0) == 0;
  }
  const Error foreign{libraryErrorDomain, 1, "not an index of this library"};
  if (!empty && id != applicationId) return foreign;

  if (auto r = db.execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL"); !r) return r.error();
  if (empty) {
    if (auto r = db.execute(schema); !r) return r.error();
    Result<Statement> meta = db.prepare("INSERT OR IGNORE INTO meta(key, value) VALUES('root', ?1), ('schema', ?2)");
    if (!meta) return meta.error();
    meta.value().bind(1, std::string_view(root)).bind(2, std::to_string(schemaVersion));
    if (auto r = meta.value().run(); !r) return r.error();
    if (auto r = db.execute("PRAGMA application_id=1414483030"); !r) return r.error();
  } else {
    {
      Result<Statement> meta = db.prepare("SELECT value FROM meta WHERE key = 'root'");
      if (!meta) return meta.error();
      if (!meta.value().step() || meta.value().text(0) != root) return foreign;
    }
    // A damaged file often opens fine and fails only when its pages are read.
    Result<Statement> check = db.prepare("PRAGMA quick_check");
    if (!check || !check.value().step() || check.value().text(0) != "ok") {
      return Error{libraryErrorDomain, 2, "the index is damaged"};
    }
  }
  static_assert(applicationId == 1414483030);
  return LibraryIndex(std::move(db), file, root);
}

Result<std::unordered_map<std::string, KnownFile>> LibraryIndex::knownFiles() {
  std::unordered_map<std::string, KnownFile> result;
  for (const bool song : {true, false}) {
    Result<Statement> query =
        db_.prepare(song ? "SELECT path, size, modified_ns FROM songs" : "SELECT path, size, modified_ns FROM skipped");
    if (!query) return query.error();
    while (query.value().step()) {
      result[query.value().blob(0)] = KnownFile{FileStamp{query.value().integer(1), query.value().integer(2)}, song};
    }
    if (query.value().failure()) return *query.value().failure();
  }
  return result;
}

Result<void> LibraryIndex::begin() { return db_.execute("BEGIN IMMEDIATE"); }
Result<void> LibraryIndex::commit() { return db_.execute("COMMIT"); }

Result<std::int64_t> LibraryIndex::freeIdFor(const std::string& path) {
  Result<Statement> query = db_.prepare("SELECT path FROM songs WHERE id = ?1");
  if (!query) return query.error();
  for (int attempt = 0;; ++attempt) {
    const std::int64_t id = songIdOf(path, attempt);
    query.value().reset();
    query.value().bind(1, id);
    if (!query.value().step()) {
      if (query.value().failure()) return *query.value().failure();
      return id;
    }
    if (query.value().blob(0) == path) return id;
  }
}

Result<void> LibraryIndex::putSong(const std::string& path, FileStamp stamp, const FileTags& tags,
                                   const std::optional<std::string>& artworkPath) {
  const std::string title = tags.title.empty() ? decodeUtf8Lossy(baseName(path)) : tags.title;
  const std::string artist = !tags.artist.empty() ? tags.artist : tags.albumArtist;
  const std::optional<std::string> album = tags.album.empty() ? std::nullopt : std::optional(tags.album);
  Result<std::int64_t> id = freeIdFor(path);
  if (!id) return id.error();
  if (auto r = remove(path); !r) return r;
  Result<Statement> insert = db_.prepare(
      "INSERT INTO songs(path, id, size, modified_ns, title, artist, album, disc, track, duration_ms, artwork, "
      "search, sort_artist, sort_album, sort_title) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, "
      "?14, ?15)");
  if (!insert) return insert.error();
  Statement& s = insert.value();
  s.bindBlob(1, path).bind(2, id.value()).bind(3, stamp.size).bind(4, stamp.modifiedNs);
  s.bind(5, std::string_view(title)).bind(6, std::string_view(artist)).bind(7, album);
  s.bind(8, tags.disc).bind(9, tags.track).bind(10, tags.durationMs).bind(11, artworkPath);
  s.bind(12, searchKey(title) + "\n" + searchKey(artist) + "\n" + searchKey(album.value_or("")));
  s.bind(13, searchKey(artist)).bind(14, searchKey(album.value_or(""))).bind(15, searchKey(title));
  return s.run();
}

Result<void> LibraryIndex::putSkipped(const std::string& path, FileStamp stamp) {
  if (auto r = remove(path); !r) return r;
  Result<Statement> insert = db_.prepare("INSERT INTO skipped(path, size, modified_ns) VALUES(?1, ?2, ?3)");
  if (!insert) return insert.error();
  insert.value().bindBlob(1, path).bind(2, stamp.size).bind(3, stamp.modifiedNs);
  return insert.value().run();
}

Result<void> LibraryIndex::remove(const std::string& path) {
  for (const char* sql : {"DELETE FROM songs WHERE path = ?1", "DELETE FROM skipped WHERE path = ?1"}) {
    Result<Statement> statement = db_.prepare(sql);
    if (!statement) return statement.error();
    statement.value().bindBlob(1, path);
    if (auto r = statement.value().run(); !r) return r;
  }
  return {};
}

IndexedSong LibraryIndex::rowOf(const Statement& s) {
  IndexedSong song;
  song.id = s.integer(0);
  song.path = s.blob(1);
  song.title = s.text(2);
  song.artist = s.text(3);
  song.album = s.optionalText(4);
  song.disc = s.integer(5);
  song.track = s.integer(6);
  song.durationMs = s.integer(7);
  song.artworkPath = s.optionalText(8);
  return song;
}

Result<std::vector<IndexedSong>> LibraryIndex::songs(const std::vector<std::string>& terms) {
  std::string sql = std::string("SELECT ") + songColumns + " FROM songs";
  for (std::size_t i = 0; i < terms.size(); ++i) {
    sql += i == 0 ? " WHERE " : " AND ";
    sql += "instr(search, ?" + std::to_string(i + 1) + ") > 0";
  }
  sql += " ORDER BY sort_artist, sort_album, disc, track, sort_title, path";
  Result<Statement> query = db_.prepare(sql);
  if (!query) return query.error();
  for (std::size_t i = 0; i < terms.size(); ++i) query.value().bind(static_cast<int>(i + 1), searchKey(terms[i]));
  std::vector<IndexedSong> result;
  while (query.value().step()) result.push_back(rowOf(query.value()));
  if (query.value().failure()) return *query.value().failure();
  return result;
}

Result<std::vector<IndexedSong>> LibraryIndex::lookup(const std::vector<std::string>& ids) {
  std::unordered_set<std::int64_t> wanted;
  for (const std::string& text : ids) {
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    // Only the canonical decimal form names a song: "+5", "05" and " 5" do not.
    if (error != std::errc{} || end != text.data() + text.size() || id <= 0 || text[0] == '0') continue;
    wanted.insert(id);
  }
  std::vector<IndexedSong> result;
  if (wanted.empty()) return result;
  // A few ids are looked up one by one; many are picked out of one pass over the table.
  const std::int64_t count = songCount();
  const bool onePass = static_cast<std::int64_t>(wanted.size()) * 16 > count;
  Result<Statement> query =
      db_.prepare(std::string("SELECT ") + songColumns + " FROM songs" + (onePass ? "" : " WHERE id = ?1"));
  if (!query) return query.error();
  Statement& s = query.value();
  if (onePass) {
    while (s.step()) {
      if (wanted.contains(s.integer(0))) result.push_back(rowOf(s));
    }
  } else {
    for (const std::int64_t id : wanted) {
      s.reset();
      s.bind(1, id);
      if (s.step()) result.push_back(rowOf(s));
      if (s.failure()) break;
    }
  }
  if (s.failure()) return *s.failure();
  return result;
}

Result<void> LibraryIndex::probe() {
  Result<Statement> query = db_.prepare("SELECT count(*) FROM songs");
  if (!query) return query.error();
  if (!query.value().step()) return query.value().failure().value_or(db_.lastError());
  return {};
}

std::int64_t LibraryIndex::songCount() {
  Result<Statement> query = db_.prepare("SELECT count(*) FROM songs");
  if (!query || !query.value().step()) return 0;
  return query.value().integer(0);
}

Song LibraryIndex::songOf(const IndexedSong& indexed) const {
  Song song;
  song.id = std::to_string(indexed.id);
  song.title = indexed.title;
  song.artistName = indexed.artist;
  song.albumTitle = indexed.album;
  if (indexed.durationMs > 0) song.duration = static_cast<double>(indexed.durationMs) / 1000.0;
  if (indexed.artworkPath) song.artwork = Artwork{fileUrl(*indexed.artworkPath)};
  song.url = fileUrl(root_ + "/" + indexed.path);
  return song;
}

}  // namespace tolvane
