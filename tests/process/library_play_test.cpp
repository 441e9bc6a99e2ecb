// The helper on a music library, through the real process: tolvane --library DIR plays the
// library's files (made and tagged by the test) with GStreamer, to an output that keeps time
// without a sound device. Waits are for lines, with margins that hold on a loaded machine.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/audio_files.h"
#include "support/helper_process.h"

namespace tolvane::testing {
namespace {

constexpr const char* realTime = "fakesink sync=true";
// How long a line that follows an event may take, on a loaded machine under sanitizers.
constexpr Millis soon(10000);

// A library folder with its index and cache, and the songs of its --list.
class Library {
 public:
  // Adds a tagged tone file; its title is `title`.
  void add(const std::string& name, AudioFormat format, double seconds, const std::string& title,
           double frequency = 440.0) {
    const std::string path = folder.file(name);
    makeAudioFile(path, format, seconds, frequency);
    tagFile(path, {.title = title, .artist = "Test Tones", .album = "Sines", .track = ++track});
  }
  std::string path(const std::string& name) const { return folder.path() + "/" + name; }

  // Indexes the library with --list: the song objects by title.
  std::map<std::string, Json> list() {
    HelperProcess lister(SpawnOptions{.arguments = {"--library", folder.path(), "--index", index(), "--list"},
                                      .environment = environment()});
    lister.closeInput();
    std::map<std::string, Json> songs;
    for (auto line = lister.readLine(Millis(30000)); line; line = lister.readLine(Millis(30000))) {
      const Json song = Json::parse(*line);
      songs[song.value("title", "")] = song;
    }
    EXPECT_EQ(lister.waitExit(Millis(30000)), 0);
    return songs;
  }

  SpawnOptions helperOptions(const std::string& output = realTime) const {
    return SpawnOptions{.arguments = {"--library", folder.path(), "--index", index(), "--audio-sink", output},
                        .environment = environment()};
  }

  std::vector<std::pair<std::string, std::string>> environment() const {
    // GStreamer keeps its registry of plugins in the cache folder too; one registry for every test
    // spares each helper a scan of all the plugins.
    const std::string binary = TOLVANE_BINARY;
    return {{"XDG_CACHE_HOME", cache.path()},
            {"GST_REGISTRY", binary.substr(0, binary.rfind('/')) + "/gstreamer-registry.bin"},
            {"LANG", "en_GB.UTF-8"},
            {"LC_ALL", ""},
            {"LC_MESSAGES", ""}};
  }
  std::string index() const { return cache.path() + "/index.sqlite"; }

  TemporaryFolder folder;
  TemporaryFolder cache;
  int track = 0;
};

// Zeros every byte of a FLAC file after its metadata: TagLib still reads the file, and no decoder
// finds a frame in it.
void zeroFlacFrames(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.substr(0, 4), "fLaC");
  std::size_t at = 4;
  for (bool last = false; !last && at + 4 <= bytes.size();) {
    const auto header = static_cast<unsigned char>(bytes[at]);
    last = (header & 0x80) != 0;
    const std::size_t length = (static_cast<unsigned char>(bytes[at + 1]) << 16) |
                               (static_cast<unsigned char>(bytes[at + 2]) << 8) |
                               static_cast<unsigned char>(bytes[at + 3]);
    at += 4 + length;
  }
  ASSERT_LT(at, bytes.size());
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end(), '\0');
  writeFile(path, bytes);
}

class LibraryPlayTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (helper) {
      EXPECT_EQ(helper->stderrText(), "") << "the helper wrote to stderr";
    }
  }

  void start(const std::string& output = realTime) {
    helper = std::make_unique<HelperProcess>(library.helperOptions(output));
  }

  // Sends `command` with a fresh id and returns its answer; lines before it must be state lines.
  Json send(Json command) {
    command["id"] = ++lastId;
    helper->sendLine(command);
    std::vector<Json> before;
    const auto answer = helper->readUntil(isAnswerTo(lastId), soon, &before);
    for (const Json& line : before) EXPECT_TRUE(isState(line)) << line.dump();
    EXPECT_TRUE(answer) << "no answer to " << command.dump();
    return answer.value_or(Json());
  }

  // The next line, which must be a state line.
  Json state(Millis timeout = soon) {
    const Json line = helper->readMessage(timeout);
    EXPECT_TRUE(isState(line)) << line.dump();
    return line;
  }

  // The first state line that satisfies `pred`, within `timeout`.
  template <typename Pred>
  std::optional<Json> stateWhere(Pred pred, Millis timeout = soon) {
    return helper->readUntil([&](const Json& line) { return isState(line) && pred(line); }, timeout);
  }

  // Where the queue stands now: the state line that a harmless command's answer is followed by.
  Json now() {
    EXPECT_FALSE(send({{"type", "check"}}).contains("error"));
    return state();
  }

  static long positionOf(const Json& state) { return state.value("positionMs", -1L); }

  Library library;
  std::unique_ptr<HelperProcess> helper;
  int lastId = 0;
};

TEST_F(LibraryPlayTest, TheWholeTransportWalkPlaysTheLibrary) {
  library.add("1-alpha.flac", AudioFormat::flac, 3.0, "Alpha");
  library.add("2-beta.ogg", AudioFormat::vorbis, 8.0, "Beta", 550.0);
  library.add("3-gamma.opus", AudioFormat::opus, 3.0, "Gamma", 660.0);
  std::map<std::string, Json> songs = library.list();
  ASSERT_EQ(songs.size(), 3u);
  const std::string alpha = songs["Alpha"]["id"], beta = songs["Beta"]["id"], gamma = songs["Gamma"]["id"];
  start();

  const Json check = send({{"type", "check"}});
  EXPECT_EQ(check["authorization"], "authorized");
  EXPECT_EQ(check["canPlay"], true);
  EXPECT_EQ(check["storefront"], "gb");
  EXPECT_FALSE(check.contains("reason"));

  // play: the answer, then the first song playing, described as the listing describes it.
  const Json answer = send({{"type", "play"}, {"ids", {alpha, beta, gamma}}, {"token", "walk"}});
  EXPECT_EQ(answer, Json({{"type", "answer"}, {"id", lastId}}));
  const Json playing = state();
  EXPECT_EQ(playing["status"], "playing");
  EXPECT_EQ(playing["token"], "walk");
  EXPECT_EQ(playing["index"], 0);
  EXPECT_EQ(playing["song"], songs["Alpha"]);

  // pause freezes the position; resume goes on from it.
  ASSERT_TRUE(send({{"type", "pause"}}).is_object());
  const Json paused = state();
  EXPECT_EQ(paused["status"], "paused");
  std::this_thread::sleep_for(Millis(400));
  EXPECT_EQ(positionOf(now()), positionOf(paused));
  ASSERT_FALSE(send({{"type", "resume"}}).contains("error"));
  const Json resumed = state();
  EXPECT_EQ(resumed["status"], "playing");
  EXPECT_GE(positionOf(resumed), positionOf(paused));

  // seek near the end of Alpha: the next song starts, gapless, soon after.
  ASSERT_FALSE(send({{"type", "seek"}, {"ms", 2600}}).contains("error"));
  const Json nearEnd = state();
  EXPECT_EQ(songIdOf(nearEnd), alpha);
  EXPECT_GE(positionOf(nearEnd), 2600);
  const auto second = stateWhere([&](const Json& line) { return songIdOf(line) == beta; });
  ASSERT_TRUE(second);
  EXPECT_EQ((*second)["status"], "playing");
  EXPECT_EQ((*second)["index"], 1);
  EXPECT_LT(positionOf(*second), 500) << "the new song starts at its beginning";

  // previous over 3 s restarts Beta; at or under 3 s it goes back to Alpha.
  for (Json at = now(); positionOf(at) <= 3200; at = now()) {
    ASSERT_EQ(songIdOf(at), beta);
    std::this_thread::sleep_for(Millis(100));
  }
  ASSERT_FALSE(send({{"type", "previous"}}).contains("error"));
  const Json restarted = state();
  EXPECT_EQ(songIdOf(restarted), beta);
  EXPECT_LT(positionOf(restarted), 1500);
  ASSERT_FALSE(send({{"type", "previous"}}).contains("error"));
  EXPECT_EQ(songIdOf(*stateWhere([&](const Json& line) { return songIdOf(line) == alpha; })), alpha);

  // next: Beta again; next: Gamma.
  ASSERT_FALSE(send({{"type", "next"}}).contains("error"));
  EXPECT_TRUE(stateWhere([&](const Json& line) { return songIdOf(line) == beta; }));
  ASSERT_FALSE(send({{"type", "next"}}).contains("error"));
  const auto third = stateWhere([&](const Json& line) { return songIdOf(line) == gamma; });
  ASSERT_TRUE(third);
  EXPECT_EQ((*third)["index"], 2);

  // stop: no state line follows, and the transport commands find nothing loaded.
  const Json stopped = send({{"type", "stop"}});
  EXPECT_EQ(stopped, Json({{"type", "answer"}, {"id", lastId}}));
  EXPECT_EQ(send({{"type", "pause"}})["error"], "nothingLoaded");
  EXPECT_EQ(helper->readLine(Millis(700)), std::nullopt) << "nothing is written once stopped";
}

TEST_F(LibraryPlayTest, ASeekAfterTheNextSongWasHandedOverStaysInTheSongThatPlays) {
  // The next file is handed over about a second before the end (when the decoder has read the whole
  // of the song); a seek after that must not land in the next song.
  library.add("1-one.flac", AudioFormat::flac, 3.0, "One");
  library.add("2-two.flac", AudioFormat::flac, 2.0, "Two", 660.0);
  std::map<std::string, Json> songs = library.list();
  const std::string one = songs["One"]["id"], two = songs["Two"]["id"];
  start();
  // The seek must come in the last second of the first song; a machine too loaded to catch that
  // window tries again with the queue played anew.
  bool seekedInTime = false;
  for (int attempt = 0; attempt < 5 && !seekedInTime; ++attempt) {
    send({{"type", "play"}, {"ids", {one, two}}});
    EXPECT_EQ(state()["status"], "playing");
    Json at = now();
    while (positionOf(at) < 2400 && songIdOf(at) == one) at = now();
    if (songIdOf(at) != one) continue;
    ASSERT_FALSE(send({{"type", "seek"}, {"ms", 500}}).contains("error"));
    const Json seeked = state();
    if (songIdOf(seeked) != one) continue;  // the first song ended just before the seek
    seekedInTime = true;
    EXPECT_GE(positionOf(seeked), 500);
    std::this_thread::sleep_for(Millis(1000));
    const Json later = now();
    EXPECT_EQ(songIdOf(later), one) << "the seek landed in the next song";
    EXPECT_GE(positionOf(later), 1000);
    // The next song still follows.
    EXPECT_TRUE(stateWhere([&](const Json& line) { return songIdOf(line) == two; }));
  }
  EXPECT_TRUE(seekedInTime) << "never caught the first song in its last second";
}

TEST_F(LibraryPlayTest, StateLinesFollowSongChangesAndTheFiveSecondReportsUntilEnded) {
  library.add("1-long.flac", AudioFormat::flac, 7.0, "Long");
  library.add("2-short.opus", AudioFormat::opus, 1.5, "Short", 660.0);
  std::map<std::string, Json> songs = library.list();
  const std::string longSong = songs["Long"]["id"], shortSong = songs["Short"]["id"];
  start();
  send({{"type", "play"}, {"ids", {longSong, shortSong}}, {"token", 7}});
  EXPECT_EQ(state()["status"], "playing");
  // The timed report, five seconds in.
  const auto timed = stateWhere([](const Json& line) { return positionOf(line) >= 4000; }, Millis(15000));
  ASSERT_TRUE(timed);
  EXPECT_EQ(songIdOf(*timed), longSong);
  EXPECT_LE(positionOf(*timed), 7000);
  const auto change = stateWhere([&](const Json& line) { return songIdOf(line) == shortSong; });
  ASSERT_TRUE(change);
  EXPECT_EQ((*change)["status"], "playing");
  const auto ended = stateWhere([](const Json& line) { return line.value("status", "") == "ended"; });
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["token"], 7);
  EXPECT_EQ(songIdOf(*ended), longSong) << "after the last song, the queue stands on its first";
  EXPECT_EQ(send({{"type", "resume"}})["error"], "nothingLoaded");
}

TEST_F(LibraryPlayTest, FilesThatFailWhileTheQueuePlaysArePassedOver) {
  struct Row {
    const char* name;
    std::function<void(const std::string& path)> spoil;
  };
  const Row rows[] = {
      {"deleted after the scan", [](const std::string& path) { std::filesystem::remove(path); }},
      {"cut short", [](const std::string& path) { std::filesystem::resize_file(path, 300); }},
      {"text", [](const std::string& path) { writeFile(path, "this is not audio\n"); }},
  };
  library.add("1-first.flac", AudioFormat::flac, 2.0, "First");
  library.add("3-last.flac", AudioFormat::flac, 1.5, "Last", 660.0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    library.add("2-middle.ogg", AudioFormat::vorbis, 2.0, "Middle", 550.0);
    std::map<std::string, Json> songs = library.list();
    start();
    send({{"type", "play"}, {"ids", {songs["First"]["id"], songs["Middle"]["id"], songs["Last"]["id"]}}});
    row.spoil(library.path("2-middle.ogg"));
    std::vector<Json> seen;
    const auto ended =
        helper->readUntil([](const Json& line) { return line.value("status", "") == "ended"; }, Millis(30000), &seen);
    ASSERT_TRUE(ended) << "the queue did not end";
    bool lastPlayed = false;
    for (const Json& line : seen) {
      EXPECT_NE(songIdOf(line), songs["Middle"]["id"]) << line.dump();
      if (songIdOf(line) == songs["Last"]["id"] && line["status"] == "playing") lastPlayed = true;
    }
    EXPECT_TRUE(lastPlayed) << "the song after the failing one did not play";
    // The helper goes on answering.
    EXPECT_FALSE(send({{"type", "check"}}).contains("error"));
    helper->closeInput();
    EXPECT_EQ(helper->waitExit(), 0);
    EXPECT_EQ(helper->stderrText(), "");
  }
}

TEST_F(LibraryPlayTest, WhenEveryLaterEntryFailsTheQueueEndsAndAFailingFirstEntryIsThePlaysError) {
  library.add("1-first.flac", AudioFormat::flac, 1.5, "First");
  library.add("2-gone.flac", AudioFormat::flac, 1.0, "Gone");
  library.add("3-text.flac", AudioFormat::flac, 1.0, "Text");
  // Its header is whole, so it is indexed; its frames are zeros, which no decoder reads.
  library.add("4-silent.flac", AudioFormat::flac, 1.0, "Frames of zeros");
  zeroFlacFrames(library.path("4-silent.flac"));
  std::map<std::string, Json> songs = library.list();
  ASSERT_EQ(songs.size(), 4u);
  start();
  send({{"type", "play"}, {"ids", {songs["First"]["id"], songs["Gone"]["id"], songs["Text"]["id"]}}});
  // Spoiled once the queue is loaded (the helper brings its index up to date when it starts).
  std::filesystem::remove(library.path("2-gone.flac"));
  writeFile(library.path("3-text.flac"), "text\n");
  EXPECT_EQ(state()["status"], "playing");
  const auto ended = stateWhere([](const Json& line) { return line.value("status", "") == "ended"; }, Millis(20000));
  ASSERT_TRUE(ended);
  EXPECT_EQ(songIdOf(*ended), songs["First"]["id"]);

  // A queue whose first entry cannot be decoded: the play's answer carries GStreamer's error.
  const Json failed = send({{"type", "play"}, {"ids", {songs["Frames of zeros"]["id"], songs["First"]["id"]}}});
  ASSERT_TRUE(failed.contains("error")) << failed.dump();
  EXPECT_EQ(failed["error"].get<std::string>().rfind("Error Domain=gst-stream-error-quark Code=", 0), 0u)
      << failed["error"];
  // The helper goes on answering, and plays what can be played.
  const Json next = send({{"type", "play"}, {"ids", {songs["First"]["id"]}}});
  EXPECT_FALSE(next.contains("error")) << next.dump();
  EXPECT_TRUE(stateWhere([](const Json& line) { return line.value("status", "") == "playing"; }));
}

TEST_F(LibraryPlayTest, AnOutputThatCannotBeOpenedIsTheReasonAndThePlaysError) {
  library.add("one.flac", AudioFormat::flac, 1.0, "One");
  std::map<std::string, Json> songs = library.list();
  start("filesink location=" + library.cache.path() + "/missing/folder/out.raw");
  const Json check = send({{"type", "check"}});
  EXPECT_EQ(check["canPlay"], false);
  ASSERT_TRUE(check.contains("reason")) << check.dump();
  const std::string reason = check["reason"];
  EXPECT_EQ(reason.rfind("Error Domain=gst-resource-error-quark Code=6 ", 0), 0u) << reason;
  const Json played = send({{"type", "play"}, {"ids", {songs["One"]["id"]}}});
  EXPECT_EQ(played.value("error", ""), reason);
}

}  // namespace
}  // namespace tolvane::testing
