// The music library: scanning a folder into its index, rescans, the index's own faults, and the
// catalog operations on top of it. Audio files are made by the test (support/audio_files.h).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "music_service/library/artwork_store.h"
#include "music_service/library/library_index.h"
#include "music_service/library/library_service.h"
#include "music_service/library/scanner.h"
#include "music_service/library/text.h"
#include "music_service/simulated/simulated_service.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "platform/task.h"
#include "support/audio_files.h"

namespace tolvane::testing {
namespace {

namespace fs = std::filesystem;

const std::string replacement = "\xEF\xBF\xBD";

// One audio file of the tree: where, what format, and how it is tagged.
void addSong(const TemporaryFolder& root, const std::string& relative, AudioFormat format, const Tags& tags = {}) {
  const std::string path = root.file(relative);
  makeAudioFile(path, format);
  if (tags.title || tags.artist || tags.albumArtist || tags.album || tags.track || tags.disc) tagFile(path, tags);
}

class LibraryTest : public ::testing::Test {
 protected:
  std::string indexFile() const { return cache.path() + "/index.sqlite"; }

  ScanCounts scan() {
    Result<ScanCounts> counts = scanLibrary(library.path(), indexFile(), artwork);
    EXPECT_TRUE(counts) << (counts ? "" : counts.error().description());
    return counts ? counts.value() : ScanCounts{};
  }

  std::vector<IndexedSong> listed(const std::vector<std::string>& terms = {}) {
    Result<LibraryIndex> index = LibraryIndex::open(indexFile(), library.path());
    EXPECT_TRUE(index);
    if (!index) return {};
    Result<std::vector<IndexedSong>> songs = index.value().songs(terms);
    EXPECT_TRUE(songs);
    return songs ? songs.value() : std::vector<IndexedSong>{};
  }

  std::map<std::string, std::int64_t> idsByTitle() {
    std::map<std::string, std::int64_t> ids;
    for (const IndexedSong& song : listed()) ids[song.title] = song.id;
    return ids;
  }

  TemporaryFolder library;
  TemporaryFolder cache;
  ArtworkStore artwork{cache.path() + "/artwork"};
};

TEST_F(LibraryTest, ScanIndexesTheAudioFilesOfATree) {
  TemporaryFolder outside;
  addSong(library, "Artist A/Album/01 First.flac", AudioFormat::flac,
          {.title = "First", .artist = "Artist A", .album = "Album", .track = 1});
  embedPicture(library.path() + "/Artist A/Album/01 First.flac", makePicture(1200, 800), "image/png");
  // No artist tag: the album artist stands in. No picture of its own: the folder's cover.
  addSong(library, "Artist A/Album/02 Second.ogg", AudioFormat::vorbis,
          {.title = "Second", .albumArtist = "Artist A", .album = "Album", .track = 2});
  writeFile(library.file("Artist A/Album/Cover.JPG"), makePicture(300, 300, "jpeg"));
  addSong(library, "Loose/untagged tone.opus", AudioFormat::opus);
  addSong(library, "Loose/same.mp3", AudioFormat::mp3, {.title = "Same", .artist = "Mid", .album = "One"});
  addSong(library, "Other/same.flac", AudioFormat::flac, {.title = "Same", .artist = "Mid", .album = "Two"});
  addSong(library, "Loose/caf\xE9.flac", AudioFormat::flac);  // a name that is not UTF-8
  addSong(outside, "far.mp3", AudioFormat::mp3, {.title = "Far", .artist = "Zed"});
  fs::create_directory_symlink(outside.path(), library.path() + "/Outside");
  fs::create_directory_symlink("..", library.file("Loop/x") + "-up");  // Loop/x-up leads back to the root
  addSong(library, ".hidden/secret.flac", AudioFormat::flac, {.title = "Secret"});
  addSong(library, "Broken/truncated.flac", AudioFormat::flac);
  fs::resize_file(library.path() + "/Broken/truncated.flac", 20);
  writeFile(library.file("Broken/empty.mp3"), "");
  writeFile(library.file("Broken/text.flac"), "this is not audio\n");
  writeFile(library.file("notes.txt"), "ignored");

  const ScanCounts counts = scan();
  EXPECT_EQ(counts.seen, 10u);
  EXPECT_EQ(counts.indexed, 7u);
  EXPECT_EQ(counts.skipped, 3u);

  struct Expected {
    std::string title, artist;
    std::optional<std::string> album;
    std::string pathEnd;
  };
  // Ordered by artist, album, track and title (empty artists first).
  const std::vector<Expected> expected = {
      {"caf" + replacement, "", std::nullopt, "/Loose/caf%E9.flac"},
      {"untagged tone", "", std::nullopt, "/Loose/untagged%20tone.opus"},
      {"First", "Artist A", "Album", "/Artist%20A/Album/01%20First.flac"},
      {"Second", "Artist A", "Album", "/Artist%20A/Album/02%20Second.ogg"},
      {"Same", "Mid", "One", "/Loose/same.mp3"},
      {"Same", "Mid", "Two", "/Other/same.flac"},
      {"Far", "Zed", std::nullopt, "/Outside/far.mp3"},
  };
  const std::vector<IndexedSong> songs = listed();
  ASSERT_EQ(songs.size(), expected.size());
  Result<LibraryIndex> index = LibraryIndex::open(indexFile(), library.path());
  ASSERT_TRUE(index);
  std::set<std::int64_t> ids;
  for (std::size_t i = 0; i < songs.size(); ++i) {
    SCOPED_TRACE(expected[i].pathEnd);
    const Song song = index.value().songOf(songs[i]);
    EXPECT_EQ(song.title, expected[i].title);
    EXPECT_EQ(song.artistName, expected[i].artist);
    EXPECT_EQ(song.albumTitle, expected[i].album);
    EXPECT_EQ(song.url, fileUrl(library.path()) + expected[i].pathEnd);
    ASSERT_TRUE(song.duration);
    EXPECT_NEAR(*song.duration, 1.0, 0.1);
    EXPECT_EQ(song.id, std::to_string(songs[i].id));
    ids.insert(songs[i].id);
  }
  EXPECT_EQ(ids.size(), songs.size()) << "two songs share an id";

  // Covers: the embedded one scaled to fit 600 x 600, the folder's one kept at its size.
  ASSERT_TRUE(songs[2].artworkPath);
  EXPECT_EQ(pictureSize(*songs[2].artworkPath), (std::pair{600, 400}));
  ASSERT_TRUE(songs[3].artworkPath);
  EXPECT_EQ(pictureSize(*songs[3].artworkPath), (std::pair{300, 300}));
  EXPECT_EQ(index.value().songOf(songs[3]).artwork->url(600, 600), fileUrl(*songs[3].artworkPath));
  EXPECT_FALSE(songs[0].artworkPath);
}

TEST_F(LibraryTest, SearchMatchesEveryTermIgnoringCaseAndDiacritics) {
  addSong(library, "a.flac", AudioFormat::flac,
          {.title = "Caf\u00e9 Nights", .artist = "K\u014dy\u014d", .album = "Road"});
  addSong(library, "b.flac", AudioFormat::flac,
          {.title = "Morning", .artist = "K\u014dy\u014d", .album = "Caf\u00e9s"});
  addSong(library, "c.flac", AudioFormat::flac, {.title = "Evening", .artist = "Other"});
  scan();
  const auto titles = [&](const std::vector<std::string>& terms) {
    std::vector<std::string> result;
    for (const IndexedSong& song : listed(terms)) result.push_back(song.title);
    return result;
  };
  EXPECT_EQ(titles({"cafe"}),
            (std::vector<std::string>{"Morning", "Caf\u00e9 Nights"}));  // album "Cafés" before "Road"
  EXPECT_EQ(titles({"KOYO", "night"}), (std::vector<std::string>{"Caf\u00e9 Nights"}));
  EXPECT_EQ(titles({"koyo", "evening"}), (std::vector<std::string>{}));
  EXPECT_EQ(titles({"ROAD"}), (std::vector<std::string>{"Caf\u00e9 Nights"}));
}

TEST_F(LibraryTest, RescansReadOnlyWhatChangedAndKeepIds) {
  addSong(library, "keep.flac", AudioFormat::flac, {.title = "Keep"});
  addSong(library, "retag.ogg", AudioFormat::vorbis, {.title = "Before"});
  addSong(library, "rename.mp3", AudioFormat::mp3, {.title = "Moving"});
  addSong(library, "remove.opus", AudioFormat::opus, {.title = "Leaving"});
  EXPECT_EQ(scan().read, 4u);
  const auto first = idsByTitle();

  EXPECT_EQ(scan().read, 0u) << "an unchanged library opens no audio file";
  EXPECT_EQ(idsByTitle(), first);

  // The same bytes written again with the old modification time: not opened either.
  const std::string keep = library.path() + "/keep.flac";
  struct stat before {};
  ASSERT_EQ(::stat(keep.c_str(), &before), 0);
  const std::string bytes = [&] {
    std::ifstream in(keep, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }();
  writeFile(keep, bytes);
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, keep.c_str(), times, 0), 0);

  tagFile(library.path() + "/retag.ogg", {.title = "After"});
  fs::rename(library.path() + "/rename.mp3", library.path() + "/renamed.mp3");
  fs::remove(library.path() + "/remove.opus");
  addSong(library, "new.flac", AudioFormat::flac, {.title = "New"});
  const ScanCounts counts = scan();
  EXPECT_EQ(counts.read, 3u) << "the re-tagged, the renamed and the new file";
  EXPECT_EQ(counts.removed, 2u) << "the removed file and the renamed one's old path";
  const auto second = idsByTitle();
  EXPECT_EQ(second.size(), 4u);
  EXPECT_EQ(second.at("Keep"), first.at("Keep"));
  EXPECT_EQ(second.at("After"), first.at("Before")) << "a re-tagged file keeps its id";
  EXPECT_NE(second.at("Moving"), first.at("Moving")) << "a renamed file is another song";
  EXPECT_FALSE(second.contains("Leaving"));

  // Ids come from the paths: an index rebuilt from nothing gives the same ones.
  fs::remove(indexFile());
  EXPECT_EQ(scan().read, 4u);
  EXPECT_EQ(idsByTitle(), second);
}

TEST_F(LibraryTest, IndexThatIsNotOursIsSetAsideAndRebuilt) {
  addSong(library, "song.flac", AudioFormat::flac, {.title = "Song"});
  struct Row {
    const char* name;
    std::function<void(const std::string& file)> spoil;
  };
  const Row rows[] = {
      {"not a database", [](const std::string& file) { writeFile(file, std::string(4096, 'x')); }},
      {"another program's database",
       [](const std::string& file) {
         Result<Database> db = Database::open(file);
         ASSERT_TRUE(db);
         ASSERT_TRUE(db.value().execute("CREATE TABLE theirs(x); INSERT INTO theirs VALUES(1)"));
       }},
      {"another library's index",
       [](const std::string& file) { ASSERT_TRUE(LibraryIndex::open(file, "/some/other/library")); }},
      {"damaged pages",
       [this](const std::string& file) {
         scan();
         // Our header kept, everything after it overwritten.
         const auto size = static_cast<std::size_t>(fs::file_size(file));
         std::fstream data(file, std::ios::in | std::ios::out | std::ios::binary);
         data.seekp(100);
         data.write(std::string(size - 100, '\x7f').data(), static_cast<std::streamsize>(size - 100));
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(indexFile());
    fs::remove(indexFile() + ".bad");
    row.spoil(indexFile());
    if (HasFatalFailure()) return;
    const ScanCounts counts = scan();
    EXPECT_EQ(counts.indexed, 1u);
    EXPECT_TRUE(fs::exists(indexFile() + ".bad")) << "the spoilt file is kept aside";
    ASSERT_EQ(listed().size(), 1u);
  }
}

TEST_F(LibraryTest, ScanKilledMidwayLeavesAnIndexTheNextScanCompletes) {
  constexpr int files = 300;
  makeAudioFile(cache.path() + "/template.flac", AudioFormat::flac, 0.2);
  for (int i = 0; i < files; ++i) {
    fs::copy_file(cache.path() + "/template.flac", library.file("many/" + std::to_string(1000 + i) + ".flac"));
  }
  // A child scans and is killed, with no chance to tidy up, once it has read 280 files: after
  // its first batch of 256 was committed, in the middle of the second.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    (void)scanLibrary(library.path(), indexFile(), artwork, [](const ScanCounts& counts) {
      if (counts.read >= 280) ::raise(SIGKILL);
    });
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the scan ended before it was killed";
  const ScanCounts counts = scan();
  EXPECT_EQ(counts.indexed, static_cast<std::size_t>(files));
  EXPECT_LT(counts.read, static_cast<std::size_t>(files)) << "what the killed scan committed is kept";
  EXPECT_GT(counts.read, 0u);
  EXPECT_EQ(listed().size(), static_cast<std::size_t>(files));
}

TEST_F(LibraryTest, TwoScansAtOnceLeaveOneGoodIndex) {
  for (int i = 0; i < 6; ++i) addSong(library, "s" + std::to_string(i) + ".flac", AudioFormat::flac);
  std::vector<ScanCounts> counts(2);
  std::array<bool, 2> ok{};  // not vector<bool>: its elements share bytes
  std::vector<std::thread> scans;
  for (int i = 0; i < 2; ++i) {
    scans.emplace_back([&, i] {
      Result<ScanCounts> result = scanLibrary(library.path(), indexFile(), artwork);
      ok[i] = result.ok();
      if (result) counts[i] = result.value();
    });
  }
  for (auto& scan : scans) scan.join();
  EXPECT_TRUE(ok[0] && ok[1]);
  EXPECT_EQ(counts[0].read + counts[1].read, 6u) << "the second finds the first's work done";
  EXPECT_EQ(listed().size(), 6u);
}

TEST(LibraryTextTest, SearchKeysFoldCaseAndMarksInAnyScript) {
  const std::pair<const char*, const char*> rows[] = {
      {"Caf\u00e9", "cafe"},
      {"K\u014dy\u014d", "koyo"},
      {"KOYO", "koyo"},
      {"\u00c5ngstr\u00f6m", "angstrom"},
      {"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1", "\u03b5\u03bb\u03bb\u03b1\u03b4\u03b1"},
      {"\u671d", "\u671d"},
      {"\uff21\uff22", "ab"},
      {"Stra\u00dfe", "strasse"},
  };
  for (const auto& [text, key] : rows) EXPECT_EQ(searchKey(text), key) << text;
}

TEST(LibraryTextTest, FileUrlsPercentEncodeEveryByteButTheUnreserved) {
  EXPECT_EQ(fileUrl("/music/A b/caf\xE9%.flac"), "file:///music/A%20b/caf%E9%25.flac");
  EXPECT_EQ(fileUrl("/x/K\u014d~_-.mp3"), "file:///x/K%C5%8D~_-.mp3");
}

TEST(LibraryTextTest, IdsArePositiveAndDifferForDifferentPathsAndAttempts) {
  EXPECT_EQ(songIdOf("a/b.flac"), songIdOf("a/b.flac"));
  EXPECT_NE(songIdOf("a/b.flac"), songIdOf("a/c.flac"));
  EXPECT_NE(songIdOf("a/b.flac"), songIdOf("a/b.flac", 1));
  for (const char* path : {"", "x", "a/b.flac", "\xff\xfe"}) EXPECT_GT(songIdOf(path), 0) << path;
}

// A worker that runs its jobs when the test says so, on the test's thread.
class ManualWorker final : public Worker {
 public:
  void post(Job job) override { jobs_.push_back(std::move(job)); }
  void runAll() {
    while (!jobs_.empty()) {
      Job job = std::move(jobs_.front());
      jobs_.erase(jobs_.begin());
      job();
    }
  }
  std::size_t pending() const { return jobs_.size(); }

 private:
  std::vector<Job> jobs_;
};

template <typename T>
Task<> capture(Future<T> future, std::optional<T>* out) {
  out->emplace(co_await future);
}

class LibraryServiceTest : public LibraryTest {
 protected:
  void SetUp() override {
    addSong(library, "one.flac", AudioFormat::flac, {.title = "One", .artist = "A", .album = "X"});
    addSong(library, "two.ogg", AudioFormat::vorbis, {.title = "Two", .artist = "A"});
    scan();
    for (const IndexedSong& song : listed()) ids[song.title] = std::to_string(song.id);
  }

  // Runs an operation to its end: the worker's job, then the main loop's delivery.
  template <typename T>
  T await(Future<T> future) {
    std::optional<T> value;
    Task<> task = capture(std::move(future), &value);
    EXPECT_FALSE(value) << "answered before the worker ran";
    worker.runAll();
    loop.runUntilIdle();
    EXPECT_TRUE(value);
    return std::move(*value);
  }

  LibraryService makeService(const std::string& root, const std::string& index) {
    return LibraryService(loop, worker, root, index, simulated.player(), [this] {
      Completer<Result<Subscription>> completer(never);
      return completer.future();
    });
  }

  ManualClock clock;
  RunLoop loop{clock};
  RunLoop never{clock};
  ManualWorker worker;
  SimulatedService simulated{loop};
  std::map<std::string, std::string> ids;
};

TEST_F(LibraryServiceTest, CatalogRequestAnswersKnownIdsOnceOnTheMainLoop) {
  LibraryService service = makeService(library.path(), indexFile());
  Result<std::vector<Song>> songs =
      await(service.catalogSongs({ids["Two"], "42", ids["One"], ids["Two"], "not a number", "0" + ids["One"]}));
  ASSERT_TRUE(songs);
  std::vector<std::string> titles;
  for (const Song& song : songs.value()) titles.push_back(song.title);
  std::sort(titles.begin(), titles.end());
  EXPECT_EQ(titles, (std::vector<std::string>{"One", "Two"}));
  EXPECT_TRUE(await(service.catalogSongs({})).value().empty());
}

TEST_F(LibraryServiceTest, SearchProbeSucceedsWhenTheIndexCanBeRead) {
  LibraryService readable = makeService(library.path(), indexFile());
  EXPECT_TRUE(await(readable.searchCatalog("no such song", 1)));
  // An index that cannot even be made: its folder is a file.
  writeFile(cache.path() + "/blocked", "");
  LibraryService broken = makeService(library.path(), cache.path() + "/blocked/index.sqlite");
  Result<void> probe = await(broken.searchCatalog("x", 1));
  ASSERT_FALSE(probe);
  EXPECT_EQ(probe.error().domain, "tolvane.library");
  Result<std::vector<Song>> songs = await(broken.catalogSongs({ids["One"]}));
  ASSERT_FALSE(songs);
  EXPECT_EQ(songs.error().domain, "tolvane.library");
}

TEST_F(LibraryServiceTest, AuthorizationFollowsTheFolder) {
  EXPECT_EQ(makeService(library.path(), indexFile()).authorizationStatus(), AuthorizationStatus::authorized);
  EXPECT_EQ(makeService(library.path() + "/missing", indexFile()).authorizationStatus(),
            AuthorizationStatus::notDetermined);
  LibraryService service = makeService(library.path(), indexFile());
  EXPECT_EQ(await(service.requestAuthorization()), AuthorizationStatus::authorized);
  if (::geteuid() != 0) {  // permissions do not stop root
    const std::string locked = library.file("locked/x");
    ::chmod((library.path() + "/locked").c_str(), 0);
    EXPECT_EQ(LibraryService::authorizationOf(library.path() + "/locked"), AuthorizationStatus::denied);
  }
}

TEST(LibraryCountryTest, TheTerritoryOfTheLocale) {
  const std::pair<const char*, std::optional<std::string>> rows[] = {
      {"en_US.UTF-8", "us"},       {"de_DE@euro", "de"}, {"pt_BR", "br"},
      {"sr_RS.UTF-8@latin", "rs"}, {"C", std::nullopt},  {"POSIX", std::nullopt},
      {"C.UTF-8", std::nullopt},   {"", std::nullopt},   {"en_", std::nullopt},
  };
  for (const auto& [locale, territory] : rows) EXPECT_EQ(LibraryService::territoryOf(locale), territory) << locale;
}

}  // namespace
}  // namespace tolvane::testing
