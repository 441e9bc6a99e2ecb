// The "state" report of the real Player: when it writes, what it writes, and when it declares the
// queue ended. Driven on the manual clock through the simulated service.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "music/word.h"
#include "support/player_fixture.h"

namespace tolvane::testing {
namespace {

constexpr const char* morningTide = "1000000001";    // 214.0 s, every member
constexpr const char* paperLanterns = "1000000002";  // 187.5 s
constexpr const char* northbound = "1000000003";     // 241.2 s
constexpr const char* openAir = "1000000007";        // no duration
constexpr const char* tinyClick = "1000000011";      // 2.5 s

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();

std::vector<Json> ofKind(const std::vector<Json>& messages, const std::string& type) {
  std::vector<Json> out;
  for (const auto& m : messages)
    if (m.value("type", "") == type) out.push_back(m);
  return out;
}

// A song with only an id, a title, an artist and a duration.
Song bareSong(std::string id, std::string title, std::string artist, double duration) {
  Song song;
  song.id = std::move(id);
  song.title = std::move(title);
  song.artistName = std::move(artist);
  song.duration = duration;
  return song;
}

using StateReportTest = PlayerFixture;

// ---- Nothing loaded: the report neither writes nor asks -------------------------------------

// Forwards to the simulated player and counts every call the Player makes on it.
class CountingPlayer final : public MusicPlayer {
 public:
  explicit CountingPlayer(MusicPlayer& inner) : inner_(inner) {}

  PlaybackStatus playbackStatus() const override {
    ++calls;
    return inner_.playbackStatus();
  }
  Publisher& stateWillChange() override { return inner_.stateWillChange(); }
  std::shared_ptr<MusicQueue> queue() const override {
    ++calls;
    return inner_.queue();
  }
  void setQueue(const std::vector<std::shared_ptr<const Song>>& songs) override {
    ++calls;
    inner_.setQueue(songs);
  }
  Future<Result<void>> play() override {
    ++calls;
    return inner_.play();
  }
  void pause() override {
    ++calls;
    inner_.pause();
  }
  void stop() override {
    ++calls;
    inner_.stop();
  }
  void restartCurrentEntry() override {
    ++calls;
    inner_.restartCurrentEntry();
  }
  Future<Result<void>> skipToNextEntry() override {
    ++calls;
    return inner_.skipToNextEntry();
  }
  Future<Result<void>> skipToPreviousEntry() override {
    ++calls;
    return inner_.skipToPreviousEntry();
  }
  double playbackTime() const override {
    ++calls;
    return inner_.playbackTime();
  }
  void setPlaybackTime(double seconds) override {
    ++calls;
    inner_.setPlaybackTime(seconds);
  }

  mutable std::size_t calls = 0;

 private:
  MusicPlayer& inner_;
};

class CountingService final : public MusicService {
 public:
  explicit CountingService(SimulatedService& inner) : inner_(inner), player_(inner.player()) {}

  CountingPlayer& counting() { return player_; }
  MusicPlayer& player() override { return player_; }
  Future<Result<std::vector<Song>>> catalogSongs(const std::vector<std::string>& ids) override {
    return inner_.catalogSongs(ids);
  }
  Future<Result<void>> searchCatalog(const std::string& term, int limit) override {
    return inner_.searchCatalog(term, limit);
  }
  AuthorizationStatus authorizationStatus() const override { return inner_.authorizationStatus(); }
  Future<AuthorizationStatus> requestAuthorization() override { return inner_.requestAuthorization(); }
  Future<Result<std::string>> currentCountryCode() override { return inner_.currentCountryCode(); }
  Future<Result<Subscription>> currentSubscription() override { return inner_.currentSubscription(); }

 private:
  SimulatedService& inner_;
  CountingPlayer player_;
};

// The fixture's set-up, with the counting player between the Player and the simulated one.
struct CountingRig {
  void send(const char* text) {
    launcher.launch([p = player, c = command(Json::parse(text))] { return runCommand(p, c); });
    loop.runUntilIdle();
  }

  ManualClock clock;
  RunLoop loop{clock};
  SimulatedService simulated{loop};
  CountingService service{simulated};
  TaskLauncher launcher{loop};
  std::vector<Json> written;
  std::shared_ptr<Player> player =
      Player::create(service, loop, [this](const tolvane::Json& m) { written.push_back(seen(m)); });
};

TEST(StateReportWhenNothingLoaded, WritesNothingAndAsksThePlayerNothing) {
  struct Row {
    const char* name;
    std::function<void(CountingRig&)> setup;
  };
  const Row rows[] = {
      // A report that reads the player before testing `loaded`.
      {"at start-up", [](CountingRig&) {}},
      // A load that sets `loaded` before its queue is handed over.
      {"while a play waits for the catalog",
       [](CountingRig& rig) { rig.send(R"({"type":"play","ids":["1000000001"]})"); }},
      // A stop that leaves `loaded` set.
      {"after a stop",
       [](CountingRig& rig) {
         rig.send(R"({"type":"play","ids":["1000000001"]})");
         rig.loop.advance(200ms);
         rig.send(R"({"type":"stop"})");
       }},
      // An end that leaves `loaded` set, so that the paused first song is reported for ever.
      {"after the end was reported",
       [](CountingRig& rig) {
         rig.send(R"({"type":"play","ids":["1000000011"]})");
         rig.loop.advance(5s);
         ASSERT_FALSE(rig.written.empty());
         ASSERT_EQ(rig.written.back().value("status", ""), "ended");
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CountingRig rig;
    row.setup(rig);
    ASSERT_FALSE(rig.player->loaded);
    rig.written.clear();
    const std::size_t before = rig.service.counting().calls;

    rig.player->report();

    EXPECT_TRUE(rig.written.empty());
    EXPECT_EQ(rig.service.counting().calls, before);
  }
}

// ---- Loaded without a current entry ----------------------------------------------------------

TEST_F(StateReportTest, LoadedNeverSeenPlayingWithoutCurrentEntryWritesNothing) {
  send(R"({"type":"play","id":1,"ids":["1000000001"]})");
  advance(100ms);  // the queue is handed over; the player is still starting
  ASSERT_TRUE(player->loaded);
  take();

  simPlayer().setCurrentIndex(std::nullopt);
  loop.runUntilIdle();
  player->report();

  EXPECT_TRUE(take().empty());
  EXPECT_TRUE(player->loaded);
  EXPECT_FALSE(player->started);
}

TEST_F(StateReportTest, PlayingWithoutCurrentEntryReportsTheEndWithoutSong) {
  struct Row {
    const char* name;
    std::function<void()> setup;
  };
  const Row rows[] = {
      // Ending only when `started` was already set: the same report must set it first.
      {"first report to see the playing status",
       [&] {
         playStarted({paperLanterns});  // its timer goes on running while the next play loads
         send(R"({"type":"play","id":2,"ids":["1000000001"]})");
         advance(100ms);
         ASSERT_TRUE(player->loaded);
         ASSERT_FALSE(player->started);
         take();
         simPlayer().setCurrentIndex(std::nullopt);
         simPlayer().setStatus(PlaybackStatus::playing);
       }},
      {"after playback was seen",
       [&] {
         playStarted({morningTide});
         ASSERT_TRUE(player->started);
         take();
         simPlayer().setCurrentIndex(std::nullopt);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    row.setup();
    ASSERT_TRUE(timerRunning());

    loop.runUntilIdle();  // the notifications' reports

    const auto lines = take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], Json::parse(R"({"type":"state","status":"ended","positionMs":0})"));
    EXPECT_TRUE(player->started);
    EXPECT_FALSE(player->loaded);
    EXPECT_FALSE(timerRunning());
  }
}

// ---- End detection -----------------------------------------------------------------------------

TEST_F(StateReportTest, RuleALastSongNearItsEnd) {
  struct Row {
    const char* name;
    std::vector<std::string> ids;
    std::size_t current;
    bool seenPlaying;
    PlaybackStatus status;
    double position;
    bool ends;
  };
  const Row rows[] = {
      // Strict > instead of >= at the boundary.
      {"paused last song exactly 1.0 s before its end", {morningTide}, 0, true, PlaybackStatus::paused, 213.0, true},
      // A margin wider than one second.
      {"paused last song 1.5 s before its end", {morningTide}, 0, true, PlaybackStatus::paused, 212.5, false},
      {"paused last song past its end", {morningTide}, 0, true, PlaybackStatus::paused, 300.0, true},
      // Testing for the paused case instead of "not playing".
      {"interrupted last song at its end", {morningTide}, 0, true, PlaybackStatus::interrupted, 213.5, true},
      // End detection while the player still plays.
      {"last song still playing near its end", {morningTide}, 0, true, PlaybackStatus::playing, 213.5, false},
      // Any song near its end taken for the end of the queue.
      {"a song that is not the last one", {morningTide, paperLanterns}, 0, true, PlaybackStatus::paused, 213.5, false},
      // End detection before playback was ever seen.
      {"never seen playing", {morningTide}, 0, false, PlaybackStatus::paused, 213.5, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.seenPlaying) {
      playStarted(row.ids);
    } else {
      send(Json{{"type", "play"}, {"ids", row.ids}});
      advance(100ms);  // handed over, still starting
    }
    if (row.current != 0) simPlayer().setCurrentIndex(row.current);
    simPlayer().setStatus(row.status);
    loop.runUntilIdle();
    ASSERT_TRUE(player->loaded);
    take();

    simPlayer().setRawPlaybackTime(row.position);
    player->report();

    const auto lines = take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["status"], row.ends ? "ended" : word(row.status));
    EXPECT_EQ(lines[0]["song"]["id"], row.ids[row.current]);
    EXPECT_EQ(player->loaded, !row.ends);
    if (row.ends) {
      EXPECT_FALSE(timerRunning());
    }
  }
}

TEST_F(StateReportTest, RuleBPositionBackNearZeroAfterTheLastSongWasSeenNearItsEnd) {
  // Queue [Morning Tide 214 s, Paper Lanterns 187.5 s]: the second is the last song.
  const std::vector<std::string> ids = {morningTide, paperLanterns};
  const double durations[] = {214.0, 187.5};
  struct Row {
    const char* name;
    std::size_t seen;         // the entry seen playing
    double secondsBeforeEnd;  // where it was seen
    std::size_t shownAfter;   // the entry the player shows afterwards, paused
    double position;          // and where
    bool ends;
  };
  const Row rows[] = {
      {"last song seen 6 s before its end, first entry shown at 0.4 s", 1, 6.0, 0, 0.4, true},
      // Strict > instead of >= for the remembered position.
      {"last song seen exactly 7 s before its end", 1, 7.0, 0, 0.4, true},
      // A margin wider than seven seconds.
      {"last song seen 8 s before its end", 1, 8.0, 0, 0.4, false},
      // <= instead of < for the position.
      {"position exactly 1.0 s", 1, 6.0, 0, 1.0, false},
      // A comparison with a position that is not a number taken as true.
      {"position not a number", 1, 6.0, 0, nan, false},
      // Remembering any song instead of checking it is the last queued one.
      {"a song other than the last one seen near its end", 0, 6.0, 1, 0.4, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    playStarted(ids);
    if (row.seen != 0) simPlayer().setCurrentIndex(row.seen);
    loop.runUntilIdle();
    simPlayer().setRawPlaybackTime(durations[row.seen] - row.secondsBeforeEnd);
    player->report();  // seen playing there
    ASSERT_TRUE(player->lastPlayed);
    ASSERT_EQ(player->lastPlayed->id, ids[row.seen]);
    simPlayer().pause();
    loop.runUntilIdle();
    ASSERT_TRUE(player->loaded);
    take();

    simPlayer().setCurrentIndex(row.shownAfter);
    simPlayer().setRawPlaybackTime(row.position);
    loop.runUntilIdle();  // the queue notification's report

    const auto lines = take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["status"], row.ends ? "ended" : "paused");
    EXPECT_EQ(lines[0]["song"]["id"], ids[row.shownAfter]);
    EXPECT_EQ(player->loaded, !row.ends);
  }
}

TEST_F(StateReportTest, LastPlayedFollowsOnlyReportsWhilePlaying) {
  playStarted({morningTide});
  advance(5s);  // a timed report while playing
  ASSERT_TRUE(player->lastPlayed);
  EXPECT_EQ(player->lastPlayed->id, morningTide);
  EXPECT_DOUBLE_EQ(player->lastPlayed->seconds, 5.0);  // the timer runs from the player's start
  EXPECT_DOUBLE_EQ(player->lastPlayed->duration, 214.0);

  simPlayer().setRawPlaybackTime(-2.5);
  player->report();
  // Not clamped at 0, unlike "positionMs".
  EXPECT_DOUBLE_EQ(player->lastPlayed->seconds, -2.5);

  simPlayer().pause();
  simPlayer().setRawPlaybackTime(100.0);
  advance(5s);
  player->report();
  EXPECT_DOUBLE_EQ(player->lastPlayed->seconds, -2.5);
}

TEST_F(StateReportTest, SongWithoutUsableDurationHasNoDurationAndCannotEndByRuleA) {
  service.addSong(bareSong("9000000001", "Endless", "Drone", inf));
  service.addSong(bareSong("9000000002", "Unmeasured", "Drone", nan));
  struct Row {
    const char* name;
    const char* id;
  };
  const Row rows[] = {
      {"no duration", openAir},
      // Using an infinite duration: an infinite position would then pass t >= d - 1.
      {"infinite duration", "9000000001"},
      {"duration not a number", "9000000002"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    playStarted({row.id});
    const auto lines = ofKind(take(), "state");
    ASSERT_FALSE(lines.empty());
    EXPECT_FALSE(lines.back()["song"].contains("durationMs"));
    EXPECT_FALSE(player->lastPlayed);  // every report so far saw it playing

    simPlayer().pause();
    loop.runUntilIdle();
    for (double position : {1.0e9, inf}) {
      simPlayer().setRawPlaybackTime(position);
      take();
      player->report();
      const auto after = take();
      ASSERT_EQ(after.size(), 1u);
      EXPECT_EQ(after[0]["status"], "paused");
      EXPECT_TRUE(player->loaded);
    }
  }
}

// ---- Members of the event ----------------------------------------------------------------------

TEST_F(StateReportTest, PositionMsIsWholeNonNegativeMilliseconds) {
  struct Row {
    const char* name;
    double seconds;
    std::int64_t ms;
  };
  const Row rows[] = {
      {"negative position", -2.0, 0},
      {"negative infinity", -inf, 0},
      // Converting a non-finite double to an integer.
      {"positive infinity", inf, 0},
      {"not a number", nan, 0},
      // Rounding instead of truncating.
      {"one and a half milliseconds", 0.0015, 1},
      {"2.9 milliseconds", 0.0029, 2},
      {"an ordinary position", 73.25, 73250},
      {"just inside the 64-bit range", 9.2e15, 9200000000000000000},
      // Undefined conversion beyond the 64-bit range.
      {"beyond the 64-bit range", 9.3e15, int64Max},
      {"huge", 1.0e300, int64Max},
  };
  // Paused on the first of two songs, so that no position can end the queue.
  playStarted({morningTide, paperLanterns});
  simPlayer().pause();
  loop.runUntilIdle();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    simPlayer().setRawPlaybackTime(row.seconds);
    take();
    player->report();
    const auto lines = take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0]["positionMs"].is_number_integer());
    EXPECT_EQ(lines[0]["positionMs"], row.ms);
    EXPECT_EQ(lines[0]["status"], "paused");
  }
}

TEST_F(StateReportTest, SongObjectHoldsExactlyTheMembersTheSongHas) {
  service.addSong(bareSong("9000000003", "Blip", "Test Signals", 0.0019));
  service.addSong(bareSong("9000000004", "Eon", "Slow Radio", 1.0e300));
  struct Row {
    const char* name;
    const char* id;
    const char* song;
  };
  const Row rows[] = {
      {"every member", morningTide,
       R"({"title":"Morning Tide","id":"1000000001","artist":"Harbor Lights","album":"Coastlines",
           "durationMs":214000,"artwork":"https://artwork.example/1000000001/600x600bb.jpg",
           "link":"https://music.example/us/song/1000000001"})"},
      {"fractional duration", northbound,
       R"({"title":"Northbound","id":"1000000003","artist":"Harbor Lights","album":"Coastlines",
           "durationMs":241200,"artwork":"https://artwork.example/1000000003/600x600bb.jpg",
           "link":"https://music.example/us/song/1000000003"})"},
      // An "album" written for a song without an album title.
      {"no album", "1000000006",
       R"({"title":"She Said \"Later\"","id":"1000000006","artist":"Basement Tapes Collective",
           "durationMs":132000,"artwork":"https://artwork.example/1000000006/600x600bb.jpg",
           "link":"https://music.example/us/song/1000000006"})"},
      {"no duration", openAir,
       R"({"title":"Open Air","id":"1000000007","artist":"Pirate Frequency","album":"Broadcasts",
           "artwork":"https://artwork.example/1000000007/600x600bb.jpg",
           "link":"https://music.example/us/song/1000000007"})"},
      {"no artwork", "1000000008",
       R"({"title":"Quiet Room","id":"1000000008","artist":"Mira Sol","album":"Interiors","durationMs":305000,
           "link":"https://music.example/us/song/1000000008"})"},
      {"no link", "1000000009",
       R"({"title":"Field Recording","id":"1000000009","artist":"Mira Sol","album":"Interiors",
           "durationMs":95000,"artwork":"https://artwork.example/1000000009/600x600bb.jpg"})"},
      // Rounding the duration instead of truncating it.
      {"duration under two milliseconds", "9000000003",
       R"({"title":"Blip","id":"9000000003","artist":"Test Signals","durationMs":1})"},
      // Undefined conversion of a duration beyond the 64-bit range.
      {"huge duration saturates", "9000000004",
       R"({"title":"Eon","id":"9000000004","artist":"Slow Radio","durationMs":9223372036854775807})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    playStarted({row.id});
    // The report that follows the play's answer (the 2 ms song is over soon after).
    const auto messages = take();
    const auto answer =
        std::find_if(messages.begin(), messages.end(), [](const Json& m) { return m.value("type", "") == "answer"; });
    ASSERT_TRUE(answer != messages.end() && answer + 1 != messages.end());
    const Json& report = *(answer + 1);
    EXPECT_EQ(report["status"], "playing");
    EXPECT_EQ(report["song"], Json::parse(row.song));
    EXPECT_EQ(report["index"], 0);
  }
}

TEST_F(StateReportTest, CatalogSongTakesTitleFromTheEntryAndArtistFromTheSong) {
  playStarted({morningTide});
  Song song = service.catalog().front();
  ASSERT_EQ(song.id, morningTide);
  simPlayer().setEntries({QueueEntry{"Entry Title", "Entry Subtitle", song}});
  take();
  player->report();
  const auto lines = take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["song"]["title"], "Entry Title");
  // The entry's subtitle replaced by the song's artist name.
  EXPECT_EQ(lines[0]["song"]["artist"], "Harbor Lights");
}

TEST_F(StateReportTest, NonCatalogEntryHasTitleAndSubtitleOnlyAndNeverEnds) {
  struct Row {
    const char* name;
    std::optional<std::string> subtitle;
    const char* song;
  };
  const Row rows[] = {
      {"with a subtitle", "Station Nine", R"({"title":"Evening Broadcast","artist":"Station Nine"})"},
      // An "artist" written without a subtitle.
      {"without a subtitle", std::nullopt, R"({"title":"Evening Broadcast"})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // The last queued song seen playing 6 s before its end: rule B would hold for a catalog song.
    playStarted({morningTide});
    simPlayer().setRawPlaybackTime(208.0);
    player->report();
    simPlayer().pause();
    loop.runUntilIdle();
    ASSERT_TRUE(player->loaded);

    simPlayer().setEntries({QueueEntry{"Evening Broadcast", row.subtitle, std::nullopt}});
    simPlayer().setRawPlaybackTime(0.4);
    take();
    player->report();

    const auto lines = take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["song"], Json::parse(row.song));
    EXPECT_FALSE(lines[0].contains("index"));
    EXPECT_EQ(lines[0]["status"], "paused");
    EXPECT_TRUE(player->loaded);
  }
}

TEST_F(StateReportTest, IndexCountsInTheRequestedListAtTheFirstOccurrence) {
  // X is unknown to the catalog but still takes a place in the requested list.
  playStarted({morningTide, "2000000000", paperLanterns, morningTide, northbound});
  ASSERT_EQ(player->queued, (std::vector<std::string>{morningTide, paperLanterns, morningTide, northbound}));
  struct Row {
    const char* name;
    std::size_t entry;
    int index;
  };
  const Row rows[] = {
      {"first song", 0, 0},
      // Counting in the queue, or in the found songs, instead of the requested list.
      {"song after the unknown id", 1, 2},
      // The last occurrence instead of the first.
      {"repeated song", 2, 0},
      {"last song", 3, 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    simPlayer().setCurrentIndex(row.entry);
    loop.runUntilIdle();
    take();
    player->report();
    const auto lines = take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["index"], row.index);
    EXPECT_FALSE(lines[0]["song"].contains("index"));
  }
}

TEST_F(StateReportTest, TokenIsEchoedAsReceivedOrLeftOut) {
  struct Row {
    const char* name;
    std::optional<Json> token;
  };
  // In this order: each play follows the previous row's.
  const Row rows[] = {
      // A "token": null written for a play without one.
      {"absent", std::nullopt},
      {"string", Json("t-1")},
      // The previous play's token kept by a play without one.
      {"absent after a play with one", std::nullopt},
      {"object", Json::parse(R"({"k":[1,"two"]})")},
      // A null token dropped as if absent.
      {"JSON null", Json(nullptr)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Json extra = Json::object();
    if (row.token) extra["token"] = *row.token;
    playStarted({morningTide}, extra);
    send(R"({"type":"pause"})");
    const auto lines = ofKind(take(), "state");
    ASSERT_FALSE(lines.empty());
    for (const Json& line : lines) {
      if (row.token) {
        ASSERT_TRUE(line.contains("token"));
        EXPECT_EQ(line["token"], *row.token);
      } else {
        EXPECT_FALSE(line.contains("token"));
      }
    }
  }
}

// ---- When reports are written ------------------------------------------------------------------

TEST_F(StateReportTest, KeepReportingReplacesTheRunningTimer) {
  playStarted({morningTide});  // its own timer runs from the player's start
  take();

  player->keepReporting();
  player->keepReporting();
  advance(5s);
  // Timers left running would each add a line.
  EXPECT_EQ(ofKind(take(), "state").size(), 1u);

  advance(2s);
  player->keepReporting();
  advance(3s);  // the replaced timer would be due here
  EXPECT_TRUE(take().empty());
  advance(2s);
  EXPECT_EQ(ofKind(take(), "state").size(), 1u);
  advance(5s);
  EXPECT_EQ(ofKind(take(), "state").size(), 1u);
}

TEST_F(StateReportTest, EveryNotificationGivesItsOwnReport) {
  playStarted({morningTide, paperLanterns});
  take();

  simPlayer().pause();
  simPlayer().setCurrentIndex(1);
  simPlayer().setStatus(PlaybackStatus::interrupted);
  loop.runUntilIdle();

  // Merged or throttled reports would give fewer lines. Each report runs after the changes.
  const auto lines = take();
  ASSERT_EQ(lines.size(), 3u);
  for (const Json& line : lines) {
    EXPECT_EQ(line, lines[0]);
    EXPECT_EQ(line["status"], "interrupted");
    EXPECT_EQ(line["song"]["id"], paperLanterns);
  }
}

TEST_F(StateReportTest, AfterTheEndOnlyAnswersAreWritten) {
  playStarted({tinyClick}, {{"token", "t"}});
  advance(5s);
  const auto states = ofKind(take(), "state");
  ASSERT_FALSE(states.empty());
  ASSERT_EQ(states.back()["status"], "ended");
  EXPECT_EQ(states.back()["token"], "t");
  ASSERT_FALSE(player->loaded);
  EXPECT_FALSE(timerRunning());

  struct Row {
    const char* name;
    const char* command;
    std::optional<std::string> error;
  };
  const Row rows[] = {
      {"pause", R"({"type":"pause","id":"c"})", "nothingLoaded"},
      {"resume", R"({"type":"resume","id":"c"})", "nothingLoaded"},
      {"next", R"({"type":"next","id":"c"})", "nothingLoaded"},
      {"previous", R"({"type":"previous","id":"c"})", "nothingLoaded"},
      {"seek", R"({"type":"seek","id":"c","ms":1000})", "nothingLoaded"},
      {"check", R"({"type":"check","id":"c"})", std::nullopt},
      {"unknown", R"({"type":"rewind","id":"c"})", "unknownCommand"},
      {"stop", R"({"type":"stop","id":"c"})", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    send(row.command);
    advance(200ms);
    const auto lines = take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["type"], "answer");
    EXPECT_EQ(lines[0]["id"], "c");
    if (row.error) {
      EXPECT_EQ(lines[0].value("error", ""), *row.error);
    } else {
      EXPECT_FALSE(lines[0].contains("error"));
    }
  }

  // The final stop still did its work.
  const std::int64_t generation = player->generation;
  const std::size_t stops = simPlayer().stopCalls();
  send(R"({"type":"stop"})");
  EXPECT_EQ(player->generation, generation + 1);
  EXPECT_TRUE(player->stopped);
  EXPECT_EQ(simPlayer().stopCalls(), stops + 1);
  advance(30s);
  EXPECT_EQ(take().size(), 1u);  // the stop's answer only
}

}  // namespace
}  // namespace tolvane::testing
