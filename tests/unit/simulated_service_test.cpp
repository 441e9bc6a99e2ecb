#include "music_service/simulated/simulated_service.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "music_service/simulated/catalog.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "platform/task.h"

namespace tolvane::testing {
namespace {

using namespace std::chrono_literals;

template <typename T>
Task<> fill(Future<T> future, std::optional<T>* out) {
  out->emplace(co_await future);
}

// What an asynchronous operation gave, once its Future has resumed the waiter.
template <typename T>
class Awaited {
 public:
  explicit Awaited(Future<T> future) : task_(fill(std::move(future), &value_)) {}
  Awaited(const Awaited&) = delete;
  Awaited& operator=(const Awaited&) = delete;

  bool ready() const { return value_.has_value(); }
  T& operator*() { return *value_; }
  T* operator->() { return &*value_; }

 private:
  std::optional<T> value_;
  Task<> task_;
};

template <typename T>
Task<> markDone(Future<T> future, bool* done) {
  (void)co_await future;
  *done = true;
}

template <typename T>
Task<> errorOf(Future<Result<T>> future, std::optional<Error>* error, bool* done) {
  auto result = co_await future;
  if (!result) *error = result.error();
  *done = true;
}

const Song& catalogSong(const std::string& id) {
  for (const Song& song : embeddedCatalog()) {
    if (song.id == id) return song;
  }
  throw std::invalid_argument("no song " + id);
}

std::vector<Song> catalogSongs(std::initializer_list<const char*> ids) {
  std::vector<Song> songs;
  for (const char* id : ids) songs.push_back(catalogSong(id));
  return songs;
}

std::vector<std::string> idsOf(const std::vector<Song>& songs) {
  std::vector<std::string> ids;
  for (const Song& song : songs) ids.push_back(song.id);
  return ids;
}

class SimulatedServiceTest : public ::testing::Test {
 protected:
  MusicPlayer& player() { return service.player(); }
  SimulatedPlayer& simulated() { return service.simulatedPlayer(); }

  void queueSongs(std::initializer_list<const char*> ids) { simulated().setQueue(catalogSongs(ids)); }

  // The id of the current entry's song; "" when there is no current entry.
  std::string currentId() {
    const auto entry = player().queue()->currentEntry();
    if (!entry) return "";
    return entry->song ? entry->song->id : "(not a song)";
  }

  // Starts playback and lets its latency pass.
  void startPlaying() {
    Awaited<Result<void>> played(player().play());
    loop.advance(50ms);
    ASSERT_TRUE(played.ready());
    ASSERT_TRUE(played->ok());
    ASSERT_EQ(player().playbackStatus(), PlaybackStatus::playing);
  }

  ManualClock clock;
  RunLoop loop{clock};
  SimulatedService service{loop};
};

// ---- catalog ----

TEST_F(SimulatedServiceTest, EmbeddedCatalogHoldsTheKnownSongsInOrder) {
  struct Row {
    const char* id;
    const char* title;
    const char* artist;
    std::optional<std::string> album;
    std::optional<double> duration;
    bool artwork;
    bool url;
  };
  const Row rows[] = {
      {"1000000001", "Morning Tide", "Harbor Lights", "Coastlines", 214.0, true, true},
      {"1000000002", "Paper Lanterns", "Harbor Lights", "Coastlines", 187.5, true, true},
      {"1000000003", "Northbound", "Harbor Lights", "Coastlines", 241.2, true, true},
      {"1000000004", "Café Ørsted", "Lía Montaño", "Ciudad Lenta", 198.0, true, true},
      {"1000000005", "Night/Day", "The Slashes", "Either/Or", 176.3, true, true},
      {"1000000006", "She Said \"Later\"", "Basement Tapes Collective", std::nullopt, 132.0, true, true},
      {"1000000007", "Open Air", "Pirate Frequency", "Broadcasts", std::nullopt, true, true},
      {"1000000008", "Quiet Room", "Mira Sol", "Interiors", 305.0, false, true},
      {"1000000009", "Field Recording", "Mira Sol", "Interiors", 95.0, true, false},
      {"1000000010", "Sunrise 🌅", "Kōyō", "朝", 222.0, true, true},
      {"1000000011", "Tiny Click", "Test Signals", "Calibration", 2.5, true, true},
      {"1000000012", "Short Bell", "Test Signals", "Calibration", 4.0, true, true},
      {"1000000013", "Short Chime", "Test Signals", "Calibration", 6.0, true, true},
      {"1000000014", "Short Gong", "Test Signals", "Calibration", 9.0, true, true},
      {"1000000015", "Long Form", "Slow Radio", "Hours", 3600.0, true, true},
      {"1000000016", "Back\\Slash", "Escape Sequence", "Control", 150.0, true, true},
  };
  const std::vector<Song>& catalog = embeddedCatalog();
  ASSERT_EQ(catalog.size(), std::size(rows));
  for (std::size_t i = 0; i < catalog.size(); ++i) {
    const Row& row = rows[i];
    const Song& song = catalog[i];
    SCOPED_TRACE(row.id);
    EXPECT_EQ(song.id, row.id);
    EXPECT_EQ(song.title, row.title);
    EXPECT_EQ(song.artistName, row.artist);
    EXPECT_EQ(song.albumTitle, row.album);
    EXPECT_EQ(song.duration, row.duration);
    ASSERT_EQ(song.artwork.has_value(), row.artwork);
    if (row.artwork) {
      EXPECT_EQ(song.artwork->url(600, 600), "https://artwork.example/" + std::string(row.id) + "/600x600bb.jpg");
      // Width and height each go to their own place.
      EXPECT_EQ(song.artwork->url(300, 200), "https://artwork.example/" + std::string(row.id) + "/300x200bb.jpg");
    }
    ASSERT_EQ(song.url.has_value(), row.url);
    if (row.url) {
      EXPECT_EQ(*song.url, "https://music.example/us/song/" + std::string(row.id));
    }
  }
  EXPECT_EQ(service.catalog(), catalog);
}

TEST_F(SimulatedServiceTest, CatalogRequestAnswersKnownIdsOnceEachInCatalogOrder) {
  struct Row {
    const char* name;
    std::vector<std::string> ids;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      // The answer follows the catalog's order, not the request's; the caller must reorder.
      {"reversed, repeated and unknown",
       {"1000000016", "nope", "1000000002", "1000000016", "", "1000000001"},
       {"1000000001", "1000000002", "1000000016"}},
      {"only unknown ids", {"0", "1000000017", " 1000000001"}, {}},
      {"empty request", {}, {}},
  };
  service.recordRequests(true);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Awaited<Result<std::vector<Song>>> answer(service.catalogSongs(row.ids));
    loop.advance(100ms - 1ns);
    EXPECT_FALSE(answer.ready());
    loop.advance(1ns);
    ASSERT_TRUE(answer.ready());
    ASSERT_TRUE(answer->ok());
    EXPECT_EQ(idsOf(answer->value()), row.expected);
    for (const Song& song : answer->value()) EXPECT_EQ(song, catalogSong(song.id)) << "whole songs, every field";
    EXPECT_EQ(service.catalogRequests().back(), row.ids);
  }
}

// A running helper must not keep what every command asked for: the ids of a million-id play would
// stay in memory for good.
TEST_F(SimulatedServiceTest, KeepsRequestsOnlyWhileRecording) {
  Awaited<Result<std::vector<Song>>> unrecorded(service.catalogSongs({"1000000001"}));
  Awaited<Result<void>> probe(service.searchCatalog("music", 1));
  loop.advance(1s);
  ASSERT_TRUE(unrecorded.ready());
  EXPECT_TRUE(service.catalogRequests().empty());
  EXPECT_TRUE(service.searchTerms().empty());

  service.recordRequests(true);
  Awaited<Result<std::vector<Song>>> recorded(service.catalogSongs({"1000000002"}));
  loop.advance(1s);
  EXPECT_EQ(service.catalogRequests(), std::vector<std::vector<std::string>>{{"1000000002"}});
}

// ---- latencies and failures of every operation ----

struct OperationRow {
  const char* name;
  Operation operation;
  Duration latency;
  std::function<Task<>(SimulatedService&, bool* done)> start;
};

const std::vector<OperationRow>& operationRows() {
  static const std::vector<OperationRow> rows{
      {"catalog request", Operation::catalogRequest, 100ms,
       [](SimulatedService& s, bool* done) { return markDone(s.catalogSongs({"1000000001"}), done); }},
      {"search probe", Operation::searchProbe, 50ms,
       [](SimulatedService& s, bool* done) { return markDone(s.searchCatalog("a", 1), done); }},
      {"authorization request", Operation::authorizationRequest, 20ms,
       [](SimulatedService& s, bool* done) { return markDone(s.requestAuthorization(), done); }},
      {"country code", Operation::countryCode, 10ms,
       [](SimulatedService& s, bool* done) { return markDone(s.currentCountryCode(), done); }},
      {"subscription", Operation::subscription, 10ms,
       [](SimulatedService& s, bool* done) { return markDone(s.currentSubscription(), done); }},
      {"play", Operation::play, 50ms,
       [](SimulatedService& s, bool* done) { return markDone(s.player().play(), done); }},
      {"skip to next", Operation::skipToNextEntry, 20ms,
       [](SimulatedService& s, bool* done) { return markDone(s.player().skipToNextEntry(), done); }},
      {"skip to previous", Operation::skipToPreviousEntry, 20ms,
       [](SimulatedService& s, bool* done) { return markDone(s.player().skipToPreviousEntry(), done); }},
  };
  return rows;
}

TEST(SimulatedServiceLatencyTest, EachOperationAnswersExactlyAtItsLatency) {
  for (const OperationRow& row : operationRows()) {
    SCOPED_TRACE(row.name);
    ManualClock clock;
    RunLoop loop{clock};
    SimulatedService service{loop};
    service.simulatedPlayer().setQueue(catalogSongs({"1000000001", "1000000002"}));
    EXPECT_EQ(SimulatedService::defaultLatency(row.operation), row.latency);

    bool done = false;
    Task<> first = row.start(service, &done);
    EXPECT_FALSE(done) << "never inside the call";
    loop.advance(row.latency - 1ns);
    EXPECT_FALSE(done) << "nothing before the latency";
    loop.advance(1ns);
    EXPECT_TRUE(done) << "the answer at the latency";

    // A latency set for tests replaces the default, zero included.
    for (Duration latency : {Duration{7ms}, Duration{0}}) {
      service.setLatency(row.operation, latency);
      done = false;
      Task<> again = row.start(service, &done);
      EXPECT_FALSE(done) << "never inside the call, even without a latency";
      if (latency > Duration{0}) {
        loop.advance(latency - 1ns);
        EXPECT_FALSE(done);
      }
      loop.advance(latency);
      EXPECT_TRUE(done);
    }
  }
}

TEST(SimulatedServiceFailureTest, ConfiguredFailureAnswersWithTheErrorAndChangesNothing) {
  struct Row {
    const char* name;
    Operation operation;
    std::function<Task<>(SimulatedService&, std::optional<Error>*, bool*)> start;
  };
  const Row rows[] = {
      {"catalog request", Operation::catalogRequest,
       [](SimulatedService& s, std::optional<Error>* e, bool* d) {
         return errorOf(s.catalogSongs({"1000000001"}), e, d);
       }},
      {"search probe", Operation::searchProbe,
       [](SimulatedService& s, std::optional<Error>* e, bool* d) { return errorOf(s.searchCatalog("a", 1), e, d); }},
      {"country code", Operation::countryCode,
       [](SimulatedService& s, std::optional<Error>* e, bool* d) { return errorOf(s.currentCountryCode(), e, d); }},
      {"subscription", Operation::subscription,
       [](SimulatedService& s, std::optional<Error>* e, bool* d) { return errorOf(s.currentSubscription(), e, d); }},
      // A failed player operation must not make its change anyway.
      {"play", Operation::play,
       [](SimulatedService& s, std::optional<Error>* e, bool* d) { return errorOf(s.player().play(), e, d); }},
      {"skip to next", Operation::skipToNextEntry,
       [](SimulatedService& s, std::optional<Error>* e, bool* d) {
         return errorOf(s.player().skipToNextEntry(), e, d);
       }},
      {"skip to previous", Operation::skipToPreviousEntry,
       [](SimulatedService& s, std::optional<Error>* e, bool* d) {
         return errorOf(s.player().skipToPreviousEntry(), e, d);
       }},
  };
  const Error failure{"test.domain", 42, "simulated failure"};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ManualClock clock;
    RunLoop loop{clock};
    SimulatedService service{loop};
    SimulatedPlayer& player = service.simulatedPlayer();
    player.setQueue(catalogSongs({"1000000001", "1000000002", "1000000003"}));
    player.setCurrentIndex(1);
    player.setRawPlaybackTime(12.0);

    service.setFailure(row.operation, failure);
    std::optional<Error> error;
    bool done = false;
    Task<> failing = row.start(service, &error, &done);
    loop.advance(SimulatedService::defaultLatency(row.operation));
    ASSERT_TRUE(done);
    EXPECT_EQ(error, failure);
    EXPECT_EQ(player.playbackStatus(), PlaybackStatus::stopped);
    EXPECT_EQ(player.queue()->currentEntry()->title, "Paper Lanterns");
    EXPECT_DOUBLE_EQ(player.playbackTime(), 12.0);

    service.clearFailure(row.operation);
    error.reset();
    done = false;
    Task<> succeeding = row.start(service, &error, &done);
    loop.advance(SimulatedService::defaultLatency(row.operation));
    ASSERT_TRUE(done);
    EXPECT_EQ(error, std::nullopt);
  }
}

TEST_F(SimulatedServiceTest, AuthorizationSubscriptionAndCountryFollowTheTestSettings) {
  EXPECT_EQ(service.authorizationStatus(), AuthorizationStatus::authorized);
  {
    Awaited<AuthorizationStatus> asked(service.requestAuthorization());
    Awaited<Result<std::string>> country(service.currentCountryCode());
    Awaited<Result<Subscription>> subscription(service.currentSubscription());
    Awaited<Result<void>> search(service.searchCatalog("x", 1));
    loop.advance(100ms);
    ASSERT_TRUE(asked.ready() && country.ready() && subscription.ready() && search.ready());
    EXPECT_EQ(*asked, AuthorizationStatus::authorized);
    EXPECT_EQ(country->value(), "us");
    EXPECT_TRUE(subscription->value().canPlayCatalogContent);
    EXPECT_TRUE(search->ok());
  }

  service.setCountryCode("se");
  service.setCanPlayCatalogContent(false);
  service.setAuthorizationStatus(AuthorizationStatus::restricted);
  Awaited<AuthorizationStatus> asked(service.requestAuthorization());
  Awaited<Result<std::string>> country(service.currentCountryCode());
  Awaited<Result<Subscription>> subscription(service.currentSubscription());
  loop.advance(100ms);
  ASSERT_TRUE(asked.ready() && country.ready() && subscription.ready());
  EXPECT_EQ(*asked, AuthorizationStatus::restricted);
  EXPECT_EQ(service.authorizationStatus(), AuthorizationStatus::restricted);
  EXPECT_EQ(country->value(), "se");
  EXPECT_FALSE(subscription->value().canPlayCatalogContent);
}

TEST_F(SimulatedServiceTest, AuthorizationRequestChangesTheStatusWhenItAnswersOnce) {
  service.setAuthorizationStatus(AuthorizationStatus::notDetermined);
  service.setStatusAfterRequest(AuthorizationStatus::denied);

  Awaited<AuthorizationStatus> first(service.requestAuthorization());
  loop.advance(20ms - 1ns);
  EXPECT_EQ(service.authorizationStatus(), AuthorizationStatus::notDetermined) << "the user has not answered yet";
  loop.advance(1ns);
  ASSERT_TRUE(first.ready());
  EXPECT_EQ(*first, AuthorizationStatus::denied);
  EXPECT_EQ(service.authorizationStatus(), AuthorizationStatus::denied);

  // The change belonged to that one request: the next answers with whatever the status is.
  service.setAuthorizationStatus(AuthorizationStatus::authorized);
  Awaited<AuthorizationStatus> second(service.requestAuthorization());
  loop.advance(20ms);
  ASSERT_TRUE(second.ready());
  EXPECT_EQ(*second, AuthorizationStatus::authorized);
}

// ---- the player ----

TEST_F(SimulatedServiceTest, PlayerStartsEmptyAndStopped) {
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::stopped);
  ASSERT_NE(player().queue(), nullptr);
  EXPECT_EQ(player().queue()->currentEntry(), std::nullopt);
  EXPECT_EQ(player().playbackTime(), 0.0);
}

TEST_F(SimulatedServiceTest, SetQueueMakesANewQueueStoppedAtItsFirstEntry) {
  queueSongs({"1000000011", "1000000012"});
  const auto first = player().queue();
  startPlaying();
  loop.advance(1s);

  int oldQueueSends = 0;
  Cancellable oldQueueWatch = first->objectWillChange().sink([&] { ++oldQueueSends; });
  const auto next = std::make_shared<const Song>(catalogSong("1000000005"));
  player().setQueue({next, std::make_shared<const Song>(catalogSong("1000000013"))});
  const auto second = player().queue();

  EXPECT_NE(second, first) << "a new queue object";
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::stopped);
  EXPECT_EQ(player().playbackTime(), 0.0);
  const auto entry = second->currentEntry();
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->title, "Night/Day");
  EXPECT_EQ(entry->subtitle, "The Slashes");
  EXPECT_EQ(entry->song, catalogSong("1000000005"));

  // The end of the old queue's entry, 1.5 s away, must not reach the new queue.
  loop.advance(10s);
  EXPECT_EQ(currentId(), "1000000005");
  EXPECT_EQ(player().playbackTime(), 0.0);

  Awaited<Result<void>> skipped(player().skipToNextEntry());
  loop.advance(20ms);
  EXPECT_EQ(currentId(), "1000000013");
  EXPECT_EQ(oldQueueSends, 0) << "the old queue hears nothing of the new one";
}

TEST_F(SimulatedServiceTest, PlayStartsAfterItsLatencyFromThePausedPosition) {
  queueSongs({"1000000015"});
  Awaited<Result<void>> first(player().play());
  loop.advance(50ms - 1ns);
  EXPECT_FALSE(first.ready());
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::stopped);
  loop.advance(1ns);
  ASSERT_TRUE(first.ready());
  EXPECT_TRUE(first->ok());
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::playing);
  EXPECT_DOUBLE_EQ(player().playbackTime(), 0.0);

  loop.advance(10s);
  EXPECT_DOUBLE_EQ(player().playbackTime(), 10.0);

  player().pause();
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::paused);
  loop.advance(5s);
  EXPECT_DOUBLE_EQ(player().playbackTime(), 10.0) << "a paused position stands still";

  Awaited<Result<void>> second(player().play());
  loop.advance(50ms);
  ASSERT_TRUE(second.ready());
  EXPECT_TRUE(second->ok());
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::playing);
  EXPECT_DOUBLE_EQ(player().playbackTime(), 10.0) << "resumes where it paused, the latency not counted";
  loop.advance(1s);
  EXPECT_DOUBLE_EQ(player().playbackTime(), 11.0);
}

TEST_F(SimulatedServiceTest, PauseOrStopWhilePlayIsStartingWins) {
  struct Row {
    const char* name;
    std::function<void(MusicPlayer&)> request;
    PlaybackStatus expected;
  };
  const Row rows[] = {
      {"stop", [](MusicPlayer& p) { p.stop(); }, PlaybackStatus::stopped},
      {"pause", [](MusicPlayer& p) { p.pause(); }, PlaybackStatus::paused},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ManualClock rowClock;
    RunLoop rowLoop{rowClock};
    SimulatedService rowService{rowLoop};
    MusicPlayer& rowPlayer = rowService.player();
    rowService.simulatedPlayer().setQueue(catalogSongs({"1000000015"}));
    Awaited<Result<void>> played(rowPlayer.play());
    rowLoop.advance(20ms);
    row.request(rowPlayer);
    rowLoop.advance(30ms);
    ASSERT_TRUE(played.ready());
    EXPECT_TRUE(played->ok()) << "the start itself still succeeds";
    EXPECT_EQ(rowPlayer.playbackStatus(), row.expected);
    rowLoop.advance(10s);
    EXPECT_EQ(rowPlayer.playbackTime(), 0.0) << "nothing plays";
    // A play asked for after the request is honoured as usual.
    Awaited<Result<void>> again(rowPlayer.play());
    rowLoop.advance(50ms);
    ASSERT_TRUE(again.ready());
    EXPECT_EQ(rowPlayer.playbackStatus(), PlaybackStatus::playing);
  }
}

TEST_F(SimulatedServiceTest, PlayFailsOnAnEmptyQueueWithAPlayerError) {
  Awaited<Result<void>> played(player().play());
  loop.advance(50ms - 1ns);
  EXPECT_FALSE(played.ready());
  loop.advance(1ns);
  ASSERT_TRUE(played.ready());
  ASSERT_FALSE(played->ok());
  EXPECT_EQ(played->error().domain, "tolvane.simulator");
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::stopped);
  EXPECT_EQ(player().queue()->currentEntry(), std::nullopt);
}

TEST_F(SimulatedServiceTest, StopResetsThePositionAndKeepsTheQueueAndItsEntry) {
  queueSongs({"1000000001", "1000000002"});
  const auto queue = player().queue();
  startPlaying();
  Awaited<Result<void>> skipped(player().skipToNextEntry());
  loop.advance(3s);
  ASSERT_EQ(currentId(), "1000000002");

  player().stop();
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::stopped);
  EXPECT_EQ(player().playbackTime(), 0.0);
  EXPECT_EQ(player().queue(), queue);
  EXPECT_EQ(currentId(), "1000000002");
  loop.advance(1000s);
  EXPECT_EQ(currentId(), "1000000002") << "a stopped entry never ends";
  EXPECT_EQ(player().playbackTime(), 0.0);

  startPlaying();
  EXPECT_EQ(player().playbackTime(), 0.0) << "from the start when stopped";
  loop.advance(2s);
  EXPECT_DOUBLE_EQ(player().playbackTime(), 2.0);
}

TEST_F(SimulatedServiceTest, EntriesPlayOutIntoTheNextAndTheLastIntoTheFirstPaused) {
  // 2.5 s, then no duration (30 s), then 4 s.
  queueSongs({"1000000011", "1000000007", "1000000012"});
  startPlaying();

  loop.advance(2500ms - 1ns);
  EXPECT_EQ(currentId(), "1000000011");
  loop.advance(1ns);
  EXPECT_EQ(currentId(), "1000000007");
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::playing);
  EXPECT_EQ(player().playbackTime(), 0.0);

  loop.advance(30s - 1ns);
  EXPECT_EQ(currentId(), "1000000007") << "a song without a duration plays 30 s";
  loop.advance(1ns);
  EXPECT_EQ(currentId(), "1000000012");

  loop.advance(4s - 1ns);
  EXPECT_EQ(currentId(), "1000000012");
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::playing);
  loop.advance(1ns);
  EXPECT_EQ(currentId(), "1000000011") << "back to the first entry";
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::paused);
  EXPECT_EQ(player().playbackTime(), 0.0);

  loop.advance(100s);
  EXPECT_EQ(currentId(), "1000000011");
  EXPECT_EQ(player().playbackTime(), 0.0);
}

TEST_F(SimulatedServiceTest, SongRepeatedInTheQueuePlaysOncePerPlace) {
  const auto click = std::make_shared<const Song>(catalogSong("1000000011"));
  const auto bell = std::make_shared<const Song>(catalogSong("1000000012"));
  player().setQueue({click, click, bell});
  int queueSends = 0;
  Cancellable watch = player().queue()->objectWillChange().sink([&] { ++queueSends; });
  startPlaying();

  loop.advance(2500ms);
  EXPECT_EQ(currentId(), "1000000011");
  EXPECT_EQ(queueSends, 1) << "the second place is a change of the current entry";
  EXPECT_EQ(player().playbackTime(), 0.0);
  loop.advance(2500ms);
  EXPECT_EQ(currentId(), "1000000012");
}

TEST_F(SimulatedServiceTest, EntryThatIsNotACatalogSongPlaysThirtySeconds) {
  simulated().setEntries({QueueEntry{"Radio", std::nullopt, std::nullopt},
                          QueueEntry{"Tiny Click", "Test Signals", catalogSong("1000000011")}});
  startPlaying();
  EXPECT_EQ(currentId(), "(not a song)");
  loop.advance(30s - 1ns);
  EXPECT_EQ(currentId(), "(not a song)");
  loop.advance(1ns);
  EXPECT_EQ(currentId(), "1000000011");
}

TEST_F(SimulatedServiceTest, SkipsMoveAfterTheirLatencyIncludingAtTheEnds) {
  queueSongs({"1000000001", "1000000002", "1000000003"});
  startPlaying();
  loop.advance(5s);

  struct Step {
    const char* name;
    bool next;
    const char* expectedId;
    PlaybackStatus expectedStatus;
  };
  const Step steps[] = {
      {"next from the first", true, "1000000002", PlaybackStatus::playing},
      {"previous from the second", false, "1000000001", PlaybackStatus::playing},
      // On the first entry, previous plays that entry again from its start.
      {"previous on the first", false, "1000000001", PlaybackStatus::playing},
      {"next", true, "1000000002", PlaybackStatus::playing},
      {"next to the last", true, "1000000003", PlaybackStatus::playing},
      // Past the last entry: as when the queue plays out.
      {"next on the last", true, "1000000001", PlaybackStatus::paused},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    const std::string before = currentId();
    const PlaybackStatus statusBefore = player().playbackStatus();
    const double positionBefore = player().playbackTime();
    Awaited<Result<void>> skipped(step.next ? player().skipToNextEntry() : player().skipToPreviousEntry());
    loop.advance(20ms - 1ns);
    EXPECT_FALSE(skipped.ready());
    EXPECT_EQ(currentId(), before);
    EXPECT_EQ(player().playbackStatus(), statusBefore);
    if (statusBefore == PlaybackStatus::playing) {
      EXPECT_GT(player().playbackTime(), positionBefore);
    }
    loop.advance(1ns);
    ASSERT_TRUE(skipped.ready());
    EXPECT_TRUE(skipped->ok());
    EXPECT_EQ(currentId(), step.expectedId);
    EXPECT_EQ(player().playbackStatus(), step.expectedStatus);
    EXPECT_EQ(player().playbackTime(), 0.0);
    loop.advance(1s);  // somewhere into the entry before the next step
  }
}

TEST_F(SimulatedServiceTest, SkipsFailOnAnEmptyQueueWithAPlayerError) {
  Awaited<Result<void>> next(player().skipToNextEntry());
  Awaited<Result<void>> previous(player().skipToPreviousEntry());
  loop.advance(20ms);
  ASSERT_TRUE(next.ready());
  ASSERT_TRUE(previous.ready());
  ASSERT_FALSE(next->ok());
  ASSERT_FALSE(previous->ok());
  EXPECT_EQ(next->error().domain, "tolvane.simulator");
  EXPECT_EQ(previous->error().domain, "tolvane.simulator");
  EXPECT_EQ(player().queue()->currentEntry(), std::nullopt);
}

TEST_F(SimulatedServiceTest, RestartGoesBackToTheStartAndTheEntryPlaysItsFullLengthAgain) {
  queueSongs({"1000000012", "1000000013"});
  startPlaying();
  loop.advance(3s);
  player().restartCurrentEntry();
  EXPECT_EQ(player().playbackTime(), 0.0);
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::playing);

  loop.advance(4s - 1ns);
  EXPECT_EQ(currentId(), "1000000012") << "the end moved with the restart";
  loop.advance(1ns);
  EXPECT_EQ(currentId(), "1000000013");
}

TEST_F(SimulatedServiceTest, PlaybackTimeWriteStoresTheValueAndEndsAPlayingEntryAtOrPastItsLength) {
  struct Row {
    const char* name;
    bool playing;
    double write;
    const char* expectedId;
    double expectedTime;
    std::optional<Duration> nextEndsAfter;  // when the current entry then ends; none: never
  };
  const Row rows[] = {
      // At the length exactly: the entry is over, at once, not on the loop's next turn.
      {"at the length while playing", true, 4.0, "1000000013", 0.0, 6s},
      {"past the length while playing", true, 50.0, "1000000013", 0.0, 6s},
      // A write inside the entry moves its end.
      {"inside while playing", true, 3.0, "1000000012", 3.0, 1s},
      {"backwards while playing", true, 0.5, "1000000012", 0.5, 3500ms},
      // Paused, the value is only stored.
      {"past the length while paused", false, 50.0, "1000000012", 50.0, std::nullopt},
      {"negative while paused", false, -2.0, "1000000012", -2.0, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ManualClock rowClock;
    RunLoop rowLoop{rowClock};
    SimulatedService rowService{rowLoop};
    MusicPlayer& rowPlayer = rowService.player();
    rowService.simulatedPlayer().setQueue(catalogSongs({"1000000012", "1000000013"}));
    Awaited<Result<void>> played(rowPlayer.play());
    rowLoop.advance(1050ms);
    if (!row.playing) rowPlayer.pause();
    auto id = [&] { return rowPlayer.queue()->currentEntry()->song->id; };

    rowPlayer.setPlaybackTime(row.write);
    EXPECT_EQ(id(), row.expectedId);
    EXPECT_DOUBLE_EQ(rowPlayer.playbackTime(), row.expectedTime);
    EXPECT_EQ(rowPlayer.playbackStatus(), row.playing ? PlaybackStatus::playing : PlaybackStatus::paused);

    if (row.nextEndsAfter) {
      rowLoop.advance(*row.nextEndsAfter - 1ns);
      EXPECT_EQ(id(), row.expectedId);
      rowLoop.advance(1ns);
      EXPECT_NE(id(), row.expectedId);
    } else {
      rowLoop.advance(100s);
      EXPECT_EQ(id(), row.expectedId);
      EXPECT_DOUBLE_EQ(rowPlayer.playbackTime(), row.expectedTime);
    }
  }
}

TEST_F(SimulatedServiceTest, SongWithAnInfiniteDurationNeverEnds) {
  Song endless;
  endless.id = "9000000001";
  endless.title = "Endless";
  endless.artistName = "Drone";
  endless.duration = INFINITY;
  service.addSong(endless);

  Awaited<Result<std::vector<Song>>> found(service.catalogSongs({"9000000001"}));
  loop.advance(100ms);
  ASSERT_TRUE(found.ready());
  ASSERT_TRUE(found->ok());
  ASSERT_EQ(idsOf(found->value()), std::vector<std::string>{"9000000001"});

  simulated().setQueue(std::vector<Song>{endless, catalogSong("1000000011")});
  startPlaying();
  loop.advance(std::chrono::hours(1000));
  EXPECT_EQ(currentId(), "9000000001");
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::playing);
  EXPECT_DOUBLE_EQ(player().playbackTime(), 3.6e6);
}

TEST_F(SimulatedServiceTest, DestroyingTheServiceDropsOperationsInFlight) {
  ManualClock ownClock;
  RunLoop ownLoop{ownClock};
  auto own = std::make_unique<SimulatedService>(ownLoop);
  own->simulatedPlayer().setQueue(catalogSongs({"1000000001"}));
  Awaited<Result<void>> played(own->player().play());
  Awaited<Result<std::vector<Song>>> found(own->catalogSongs({"1000000001"}));

  own.reset();
  ownLoop.advance(1s);
  EXPECT_FALSE(played.ready());
  EXPECT_FALSE(found.ready());
  EXPECT_EQ(ownLoop.nextDeadline(), std::nullopt);
}

// ---- notifications ----

TEST_F(SimulatedServiceTest, StatePublisherSendsRightBeforeEachStatusChange) {
  std::vector<PlaybackStatus> seen;
  Cancellable watch = player().stateWillChange().sink([&] { seen.push_back(player().playbackStatus()); });

  queueSongs({"1000000011"});
  startPlaying();
  player().pause();
  simulated().setStatus(PlaybackStatus::interrupted);
  player().stop();
  startPlaying();
  loop.advance(2500ms);  // plays out: paused on the first entry

  // Each receiver call sees the status as it was before the change.
  EXPECT_EQ(seen, (std::vector<PlaybackStatus>{PlaybackStatus::stopped, PlaybackStatus::playing, PlaybackStatus::paused,
                                               PlaybackStatus::interrupted, PlaybackStatus::stopped,
                                               PlaybackStatus::playing}));
  EXPECT_EQ(player().playbackStatus(), PlaybackStatus::paused);
}

TEST_F(SimulatedServiceTest, QueuePublisherSendsRightBeforeEachChangeOfTheCurrentEntry) {
  queueSongs({"1000000011", "1000000012", "1000000013"});
  std::vector<std::string> seen;
  Cancellable watch =
      player().queue()->objectWillChange().sink([&] { seen.push_back(player().queue()->currentEntry()->title); });
  startPlaying();

  loop.advance(2500ms);  // plays out into the second
  Awaited<Result<void>> next(player().skipToNextEntry());
  loop.advance(20ms);
  Awaited<Result<void>> previous(player().skipToPreviousEntry());
  loop.advance(20ms);
  Awaited<Result<void>> last(player().skipToNextEntry());
  loop.advance(20ms + 6s);  // plays out past the last, into the first

  // Each receiver call sees the entry that is about to be left.
  EXPECT_EQ(seen, (std::vector<std::string>{"Tiny Click", "Short Bell", "Short Chime", "Short Bell", "Short Chime"}));
  EXPECT_EQ(currentId(), "1000000011");
}

Task<> answerOfPlay(MusicPlayer& player, std::vector<std::string>& order) {
  (void)co_await player.play();
  order.push_back(std::string("answer, status ") + describe(player.playbackStatus()));
}

TEST_F(SimulatedServiceTest, WaiterOfPlayResumesBeforeWorkQueuedByTheChangeNotification) {
  queueSongs({"1000000001"});
  std::vector<std::string> order;
  Cancellable watch = player().stateWillChange().sink([&] { loop.post([&] { order.push_back("report"); }); });
  Task<> waiter = answerOfPlay(player(), order);
  loop.advance(50ms);
  // The caller's answer leads the reports the change causes, and already finds the change made.
  EXPECT_EQ(order, (std::vector<std::string>{"answer, status playing", "report"}));
}

}  // namespace
}  // namespace tolvane::testing
