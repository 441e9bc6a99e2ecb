// tolvane --list, on the simulated catalog and on a music library made by the test, and the
// command lines that are refused.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/audio_files.h"
#include "support/helper_process.h"

namespace tolvane::testing {
namespace {

struct Listing {
  std::optional<int> status;
  std::vector<Json> songs;
  std::string error;
};

Listing runList(const std::vector<std::string>& arguments, const std::string& cache) {
  HelperProcess helper(SpawnOptions{.arguments = arguments, .environment = {{"XDG_CACHE_HOME", cache}}});
  helper.closeInput();
  Listing listing;
  for (auto line = helper.readLine(Millis(30000)); line; line = helper.readLine(Millis(30000))) {
    listing.songs.push_back(Json::parse(*line, nullptr, false));
  }
  listing.status = helper.waitExit(Millis(30000));
  listing.error = helper.stderrText();
  EXPECT_EQ(helper.pendingOutput(), "") << "a torn last line";
  return listing;
}

std::vector<std::string> titlesOf(const std::vector<Json>& songs) {
  std::vector<std::string> titles;
  for (const Json& song : songs) titles.push_back(song.value("title", "(none)"));
  return titles;
}

TEST(LibraryListTest, SimulatedCatalogIsListedInOrderAndFiltered) {
  TemporaryFolder cache;
  const Listing all = runList({"--list"}, cache.path());
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(all.error, "");
  ASSERT_EQ(all.songs.size(), 16u);
  // By artist first: "Basement Tapes Collective" leads, "The Slashes" closes.
  EXPECT_EQ(all.songs.front()["artist"], "Basement Tapes Collective");
  EXPECT_EQ(all.songs.back()["artist"], "The Slashes");
  EXPECT_EQ(
      all.songs.front(),
      Json::parse(
          R"({"artist":"Basement Tapes Collective","artwork":"https://artwork.example/1000000006/600x600bb.jpg","durationMs":132000,"id":"1000000006","link":"https://music.example/us/song/1000000006","title":"She Said \"Later\""})"));
  EXPECT_EQ(titlesOf(runList({"--list", "cafe"}, cache.path()).songs),
            std::vector<std::string>{"Caf\u00e9 \u00d8rsted"});
  EXPECT_EQ(titlesOf(runList({"--list", "KOYO"}, cache.path()).songs), std::vector<std::string>{"Sunrise \U0001F305"});
  EXPECT_EQ(titlesOf(runList({"--list", "harbor", "north"}, cache.path()).songs),
            std::vector<std::string>{"Northbound"});
  EXPECT_EQ(runList({"--list", "nothing like this"}, cache.path()).songs.size(), 0u);
}

TEST(LibraryListTest, LibraryIsScannedThenListedLineByLine) {
  TemporaryFolder library, cache;
  makeAudioFile(library.file("B/two.ogg"), AudioFormat::vorbis, 2.0);
  tagFile(library.path() + "/B/two.ogg", {.title = "Two", .artist = "Band", .album = "LP", .track = 2});
  makeAudioFile(library.file("A/one.flac"), AudioFormat::flac, 1.0);
  tagFile(library.path() + "/A/one.flac", {.title = "One", .artist = "Band", .album = "LP", .track = 1});
  embedPicture(library.path() + "/A/one.flac", makePicture(64, 64), "image/png");
  makeAudioFile(library.file("loose tone.mp3"), AudioFormat::mp3, 1.0);
  writeFile(library.file("junk.flac"), "not audio");

  const Listing first = runList({"--library", library.path(), "--list"}, cache.path());
  EXPECT_EQ(first.status, 0);
  // stderr is not a terminal here: only the summary line.
  EXPECT_EQ(first.error, "tolvane: 4 audio files seen, 3 songs indexed, 1 skipped (4 read, 0 removed)\n");
  ASSERT_EQ(first.songs.size(), 3u);
  EXPECT_EQ(titlesOf(first.songs), (std::vector<std::string>{"loose tone", "One", "Two"}));
  const Json& one = first.songs[1];
  EXPECT_EQ(one["artist"], "Band");
  EXPECT_EQ(one["album"], "LP");
  EXPECT_EQ(one["durationMs"], 1000);
  EXPECT_EQ(one["link"], "file://" + library.path() + "/A/one.flac");
  ASSERT_TRUE(one.contains("artwork"));
  EXPECT_EQ(one["artwork"].get<std::string>().rfind("file://" + cache.path() + "/tolvane/artwork/", 0), 0u);
  EXPECT_FALSE(first.songs[0].contains("album"));
  EXPECT_EQ(first.songs[0]["artist"], "");
  std::set<std::string> ids;
  for (const Json& song : first.songs) {
    const std::string id = song["id"];
    EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 3u);

  // A second run reads nothing again and gives the same lines; terms filter them.
  const Listing second = runList({"--library", library.path(), "--list"}, cache.path());
  EXPECT_EQ(second.error, "tolvane: 4 audio files seen, 3 songs indexed, 1 skipped (0 read, 0 removed)\n");
  EXPECT_EQ(second.songs, first.songs);
  EXPECT_EQ(titlesOf(runList({"--library", library.path(), "--list", "TWO"}, cache.path()).songs),
            std::vector<std::string>{"Two"});
  // --index chooses the index file.
  const Listing elsewhere =
      runList({"--library", library.path(), "--index", cache.path() + "/mine.sqlite", "--list"}, cache.path());
  EXPECT_EQ(elsewhere.songs, first.songs);
  EXPECT_TRUE(std::filesystem::exists(cache.path() + "/mine.sqlite"));
}

TEST(LibraryListTest, ScanShowsItsProgressOnATerminal) {
  TemporaryFolder library, cache;
  makeAudioFile(library.file("one.flac"), AudioFormat::flac);
  makeAudioFile(library.file("two.ogg"), AudioFormat::vorbis);
  HelperProcess helper(SpawnOptions{.arguments = {"--library", library.path(), "--list"},
                                    .environment = {{"XDG_CACHE_HOME", cache.path()}},
                                    .errorOnTerminal = true});
  std::vector<std::string> lines;
  for (auto line = helper.readLine(Millis(30000)); line; line = helper.readLine(Millis(30000))) lines.push_back(*line);
  EXPECT_EQ(helper.waitExit(Millis(30000)), 0);
  EXPECT_EQ(lines.size(), 2u) << "standard output holds the song lines alone";
  const std::string shown = helper.stderrText();
  // A progress line rewritten in place, then cleared, then the summary.
  EXPECT_EQ(shown.rfind("\r\033[Kscanning: 2 audio files seen, ", 0), 0u) << shown;
  const std::string summary = "\r\033[Ktolvane: 2 audio files seen, 2 songs indexed, 0 skipped (2 read, 0 removed)\n";
  ASSERT_GE(shown.size(), summary.size());
  EXPECT_EQ(shown.substr(shown.size() - summary.size()), summary) << shown;
}

TEST(LibraryListTest, ListingWithoutStandardOutputLeavesTheIndexWhole) {
  // With descriptor 1 closed, the index opened next would take its place and receive the song
  // lines, unless the closed descriptor is filled first.
  TemporaryFolder library, cache;
  makeAudioFile(library.file("one.flac"), AudioFormat::flac);
  tagFile(library.path() + "/one.flac", {.title = "One"});
  HelperProcess blind(SpawnOptions{.arguments = {"--library", library.path(), "--list"},
                                   .environment = {{"XDG_CACHE_HOME", cache.path()}},
                                   .closeOutput = true});
  EXPECT_EQ(blind.waitExit(Millis(30000)), 0);
  const Listing after = runList({"--library", library.path(), "--list"}, cache.path());
  EXPECT_EQ(titlesOf(after.songs), std::vector<std::string>{"One"});
  EXPECT_EQ(after.error, "tolvane: 1 audio files seen, 1 songs indexed, 0 skipped (0 read, 0 removed)\n");
}

TEST(LibraryListTest, RefusedCommandLinesSayWhyOnOneLineAndExitTwo) {
  TemporaryFolder library, cache;
  writeFile(library.file("file.txt"), "a file");
  const std::vector<std::vector<std::string>> rows = {
      {"--library"},
      {"--library", library.path() + "/missing", "--list"},
      {"--library", library.path() + "/file.txt", "--list"},
      {"--index", cache.path() + "/x.sqlite", "--list"},
      {"--list", "--bogus"},
      {"--audio-sink", "fakesink"},  // an output for the simulated catalog, which plays nothing
      {"--library", library.path(), "--audio-sink"},
      {"--library", library.path(), "--audio-sink", " "},
  };
  for (const auto& arguments : rows) {
    SCOPED_TRACE(arguments.back());
    const Listing refused = runList(arguments, cache.path());
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(refused.songs.empty());
    ASSERT_FALSE(refused.error.empty());
    EXPECT_EQ(refused.error.rfind("tolvane: ", 0), 0u) << refused.error;
    EXPECT_EQ(refused.error.find('\n'), refused.error.size() - 1) << "one line: " << refused.error;
  }
}

}  // namespace
}  // namespace tolvane::testing
