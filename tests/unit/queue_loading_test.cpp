// Queue loading through the "play" command: arguments, the one catalog request, the queue that the
// player gets, failures, and loads overtaken by a later "play" or "stop". Manual clock throughout:
// the catalog answers after 100 ms, the player starts 50 ms after that.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/player_fixture.h"

namespace tolvane::testing {
namespace {

constexpr const char* morningTide = "1000000001";    // A
constexpr const char* paperLanterns = "1000000002";  // B
constexpr const char* northbound = "1000000003";     // C
constexpr const char* unknownId = "2000000000";      // X, not in the catalog
constexpr const char* tinyClick = "1000000011";      // 2.5 s
constexpr const char* shortBell = "1000000012";      // 4.0 s

using Ids = std::vector<std::string>;

std::vector<Json> ofKind(const std::vector<Json>& messages, const std::string& type) {
  std::vector<Json> out;
  for (const auto& m : messages)
    if (m.value("type", "") == type) out.push_back(m);
  return out;
}

// The answer with this id among `messages`, or null.
Json answerWithId(const std::vector<Json>& messages, const Json& id) {
  for (const auto& m : messages)
    if (m.value("type", "") == "answer" && m.contains("id") && m["id"] == id) return m;
  return nullptr;
}

const std::string notFoundText = R"(Error Domain=tolvane Code=1 "notFound" UserInfo={NSLocalizedDescription=notFound})";

class QueueLoadingTest : public PlayerFixture {
 protected:
  std::optional<std::string> currentId() {
    const auto entry = simPlayer().queue()->currentEntry();
    if (!entry || !entry->song) return std::nullopt;
    return entry->song->id;
  }

  // The player's whole queue, read by moving through it. Leaves the player without a current
  // entry, so call it last.
  std::vector<QueueEntry> playerQueue() {
    std::vector<QueueEntry> entries;
    for (std::size_t i = 0;; ++i) {
      simPlayer().setCurrentIndex(i);
      auto entry = simPlayer().queue()->currentEntry();
      if (!entry) break;
      entries.push_back(*entry);
    }
    loop.runUntilIdle();
    return entries;
  }
  Ids playerQueueIds() {
    Ids ids;
    for (const auto& entry : playerQueue()) ids.push_back(entry.song ? entry.song->id : "(not a song)");
    return ids;
  }
};

// ---- Which songs, in which order, from where --------------------------------------------------

TEST_F(QueueLoadingTest, QueueStartsAtTheFirstHeldIdFromTheStartPositionInRequestedOrder) {
  const Ids example = {morningTide, unknownId, paperLanterns, morningTide, northbound};
  struct Row {
    const char* name;
    Ids ids;
    int start;
    Ids queue;
    int index;  // of the first state line
  };
  const Row rows[] = {
      {"example, start 0", example, 0, {morningTide, paperLanterns, morningTide, northbound}, 0},
      // Starting at the second occurrence, which would drop the first A and B.
      {"example, start 3 (the repeated A)", example, 3, {morningTide, paperLanterns, morningTide, northbound}, 0},
      // Counting the start position among the found songs instead of the requested ids.
      {"example, start 2 (B)", example, 2, {paperLanterns, morningTide, northbound}, 2},
      // Falling back to the first found song when the start id is unknown.
      {"example, start 1 (X, unknown)", example, 1, {paperLanterns, morningTide, northbound}, 2},
      {"example, start 4 (C)", example, 4, {northbound}, 4},
      // Keeping the catalog's order instead of the requested one.
      {"requested against the catalog's order",
       {northbound, paperLanterns, morningTide},
       0,
       {northbound, paperLanterns, morningTide},
       0},
      // Leaving the player without a queue when nothing from the start on is known.
      {"nothing known from the start on",
       {morningTide, paperLanterns, unknownId, "2000000001"},
       2,
       {morningTide, paperLanterns},
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    send(R"({"type":"stop"})");  // the previous row's player, quiet
    take();
    const std::size_t requests = service.catalogRequests().size();
    playStarted(row.ids, {{"start", row.start}});

    const auto messages = take();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), Json::parse(R"({"type":"answer","id":"load"})"));
    // One request, for every id as sent: repeats and unknown ids included.
    ASSERT_EQ(service.catalogRequests().size(), requests + 1);
    EXPECT_EQ(service.catalogRequests().back(), row.ids);

    EXPECT_EQ(player->requested, row.ids);
    EXPECT_EQ(player->queued, row.queue);
    EXPECT_TRUE(player->loaded);
    EXPECT_EQ(currentId(), row.queue.front());
    const auto states = ofKind(messages, "state");
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.front()["index"], row.index);
    EXPECT_EQ(playerQueueIds(), row.queue);
  }
}

TEST_F(QueueLoadingTest, IdsArgumentOfTheWrongKindCountsAsEmpty) {
  struct Row {
    const char* name;
    const char* command;
  };
  const Row rows[] = {
      {"absent", R"({"type":"play","id":1})"},
      {"a string", R"({"type":"play","id":1,"ids":"1000000001"})"},
      {"an object", R"({"type":"play","id":1,"ids":{"0":"1000000001"}})"},
      // Keeping the string elements and dropping only the odd one.
      {"an array with a number", R"({"type":"play","id":1,"ids":["1000000001",1000000002,"1000000003"]})"},
      {"an array with null", R"({"type":"play","id":1,"ids":["1000000001",null]})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    send(row.command);
    advance(200ms);
    // The request is still made, with nothing in it.
    ASSERT_FALSE(service.catalogRequests().empty());
    EXPECT_TRUE(service.catalogRequests().back().empty());
    EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", 1}, {"error", notFoundText}}}));
    EXPECT_TRUE(player->requested.empty());
    EXPECT_FALSE(player->loaded);
  }
  EXPECT_EQ(simPlayer().setQueueCalls(), 0u);
}

TEST_F(QueueLoadingTest, StartArgumentIsAWholeNumberInRangeOrZero) {
  const Ids ids = {morningTide, paperLanterns, northbound};
  struct Row {
    const char* name;
    std::optional<Json> start;
    std::size_t position;
  };
  const Row rows[] = {
      {"absent", std::nullopt, 0},
      {"2", Json(2), 2},
      // Reading a numeric string.
      {"the string \"2\"", Json("2"), 0},
      // Truncating a fraction instead of refusing it.
      {"1.5", Json(1.5), 0},
      // Refusing a whole number written as a fraction.
      {"2.0", Json(2.0), 2},
      {"-4, raised to the first", Json(-4), 0},
      {"99, lowered to the last", Json(99), 2},
      {"largest 64-bit integer, lowered to the last", Json(std::numeric_limits<std::int64_t>::max()), 2},
      {"smallest 64-bit integer", Json(std::numeric_limits<std::int64_t>::min()), 0},
      // Saturating an out-of-range number instead of refusing it.
      {"2^63, out of range", Json(std::uint64_t{9223372036854775808u}), 0},
      {"1e19, out of range", Json(1.0e19), 0},
      {"1e300, out of range", Json(1.0e300), 0},
      // Our JSON layer does not count a boolean as a number.
      {"true", Json(true), 0},
      {"null", Json(nullptr), 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Json extra = Json::object();
    if (row.start) extra["start"] = *row.start;
    playStarted(ids, extra);
    EXPECT_EQ(answerWithId(take(), "load"), Json::parse(R"({"type":"answer","id":"load"})"));
    EXPECT_EQ(player->queued, Ids(ids.begin() + static_cast<std::ptrdiff_t>(row.position), ids.end()));
    EXPECT_EQ(currentId(), ids[row.position]);
  }
}

TEST_F(QueueLoadingTest, FirstOfTwoCatalogItemsWithTheSameIdIsUsedForEveryOccurrence) {
  Song first;
  first.id = "9000000001";
  first.title = "First Pressing";
  first.artistName = "Twins";
  first.duration = 200.0;
  Song second = first;
  second.title = "Second Pressing";
  service.addSong(first);
  service.addSong(second);

  playStarted({"9000000001", morningTide, "9000000001"});

  const auto queue = playerQueue();
  ASSERT_EQ(queue.size(), 3u);
  EXPECT_EQ(queue[0].title, "First Pressing");
  EXPECT_EQ(queue[1].title, "Morning Tide");
  EXPECT_EQ(queue[2].title, "First Pressing");
}

// ---- Failures ----------------------------------------------------------------------------------

TEST_F(QueueLoadingTest, FailedLookupAnswersTheErrorAndLeavesThePreviousQueuePlaying) {
  const Error catalogDown{"tolvane.simulator", 42, "The catalog could not be reached"};
  struct Row {
    const char* name;
    Ids ids;
    bool catalogFails;
    std::string error;
  };
  const Row rows[] = {
      // Answering the bare word instead of the error's full description.
      {"none of the ids in the catalog", {unknownId, "2000000001"}, false, notFoundText},
      {"empty ids", {}, false, notFoundText},
      // Replacing the service's error with one of our own.
      {"catalog request fails", {paperLanterns}, true, catalogDown.description()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    playStarted({morningTide}, {{"token", "old"}});
    take();
    const std::size_t setQueues = simPlayer().setQueueCalls();
    if (row.catalogFails) service.setFailure(Operation::catalogRequest, catalogDown);

    send(Json{{"type", "play"}, {"id", "new"}, {"ids", row.ids}, {"token", "new"}});
    advance(200ms);
    service.clearFailure(Operation::catalogRequest);

    // The answer, and no state line: nothing is loaded.
    EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "new"}, {"error", row.error}}}));
    EXPECT_EQ(player->requested, row.ids);
    EXPECT_EQ(seen(player->token), Json("new"));
    EXPECT_TRUE(player->queued.empty());
    EXPECT_FALSE(player->loaded);
    // The player goes on with the earlier queue; its timer runs but reports nothing.
    EXPECT_EQ(simPlayer().setQueueCalls(), setQueues);
    EXPECT_EQ(simPlayer().playbackStatus(), PlaybackStatus::playing);
    EXPECT_EQ(currentId(), morningTide);
    EXPECT_TRUE(timerRunning());
    advance(10s);
    EXPECT_TRUE(take().empty());
  }
}

TEST_F(QueueLoadingTest, PlayerStartFailureKeepsTheQueueLoadedWithoutTimer) {
  const Error refused{"tolvane.simulator", 9, "Playback was refused"};
  service.setFailure(Operation::play, refused);

  send(R"({"type":"play","id":"p","ids":["1000000001","1000000002"],"token":"t"})");
  advance(200ms);

  const auto messages = take();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], (Json{{"type", "answer"}, {"id", "p"}, {"error", refused.description()}}));
  // Still loaded, so the answer's report shows the queue, stopped.
  EXPECT_EQ(messages[1]["type"], "state");
  EXPECT_EQ(messages[1]["status"], "stopped");
  EXPECT_EQ(messages[1]["song"]["id"], morningTide);
  EXPECT_TRUE(player->loaded);
  EXPECT_EQ(player->queued, (Ids{morningTide, paperLanterns}));
  EXPECT_EQ(currentId(), morningTide);
  EXPECT_FALSE(timerRunning());
  advance(10s);
  EXPECT_TRUE(take().empty());
}

// ---- Overtaken loads ---------------------------------------------------------------------------

TEST_F(QueueLoadingTest, SecondPlayOvertakesTheFirst) {
  struct Row {
    const char* name;
    Ids firstIds;
    Duration overtakeAt;      // after the first play was sent
    Duration firstAnswersAt;  // likewise
    std::size_t setQueues;    // queues handed to the player in all
  };
  const Row rows[] = {
      // Loading the first queue anyway once its catalog answer comes.
      {"during the catalog wait", {morningTide}, 50ms, 100ms, 1},
      // Failing with not-found although a newer play has taken over.
      {"during the catalog wait, first ids unknown", {unknownId}, 50ms, 100ms, 1},
      // Starting a timer, or stopping the player, for the overtaken load.
      {"during the player's start", {morningTide}, 120ms, 150ms, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::size_t setQueues = simPlayer().setQueueCalls();
    const std::size_t stops = simPlayer().stopCalls();
    take();

    send(Json{{"type", "play"}, {"id", "first"}, {"ids", row.firstIds}, {"token", "first"}});
    advance(row.overtakeAt);
    send(Json{{"type", "play"}, {"id", "second"}, {"ids", Ids{paperLanterns, northbound}}, {"token", "second"}});
    advance(row.firstAnswersAt - row.overtakeAt);
    // A plain answer, and no report for it: the second load has cleared `loaded`.
    EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "first"}}}));

    advance(300ms);
    const auto messages = take();
    EXPECT_EQ(answerWithId(messages, "second"), (Json{{"type", "answer"}, {"id", "second"}}));
    for (const Json& state : ofKind(messages, "state")) EXPECT_EQ(state["token"], "second");
    EXPECT_EQ(player->requested, (Ids{paperLanterns, northbound}));
    EXPECT_EQ(player->queued, (Ids{paperLanterns, northbound}));
    EXPECT_EQ(seen(player->token), Json("second"));
    EXPECT_TRUE(player->loaded);
    EXPECT_EQ(simPlayer().playbackStatus(), PlaybackStatus::playing);
    EXPECT_EQ(currentId(), paperLanterns);
    EXPECT_EQ(simPlayer().setQueueCalls(), setQueues + row.setQueues);
    EXPECT_EQ(simPlayer().stopCalls(), stops);
    EXPECT_TRUE(timerRunning());

    // Reset between rows: stop everything and let it settle.
    send(R"({"type":"stop"})");
    advance(1s);
    take();
  }
}

TEST_F(QueueLoadingTest, StopDuringTheCatalogWaitEndsTheLoadQuietly) {
  send(R"({"type":"play","id":"p","ids":["1000000001"]})");
  advance(50ms);
  send(R"({"type":"stop","id":"s"})");
  EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "s"}}}));
  const std::size_t calls = simPlayer().calls();

  advance(200ms);

  EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "p"}}}));
  EXPECT_EQ(simPlayer().calls(), calls);  // the load touched the player no more
  EXPECT_EQ(simPlayer().setQueueCalls(), 0u);
  EXPECT_FALSE(player->loaded);
  EXPECT_FALSE(timerRunning());
  advance(10s);
  EXPECT_TRUE(take().empty());
}

TEST_F(QueueLoadingTest, StopDuringThePlayersStartStopsThePlayerAgain) {
  send(R"({"type":"play","id":"p","ids":["1000000001"]})");
  advance(120ms);  // the queue is handed over; the player is starting
  ASSERT_TRUE(player->loaded);
  send(R"({"type":"stop","id":"s"})");
  EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "s"}}}));
  EXPECT_EQ(simPlayer().stopCalls(), 1u);

  advance(100ms);

  EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "p"}}}));
  // The start came through after the stop; the load stops the player once more.
  EXPECT_EQ(simPlayer().stopCalls(), 2u);
  EXPECT_EQ(simPlayer().playbackStatus(), PlaybackStatus::stopped);
  EXPECT_FALSE(player->loaded);
  EXPECT_FALSE(timerRunning());
  advance(10s);
  EXPECT_TRUE(take().empty());
}

// ---- A queue played to its end -----------------------------------------------------------------

TEST_F(QueueLoadingTest, ShortSongsPlayOutToOneEndedReport) {
  playStarted({tinyClick, shortBell}, {{"token", "t"}});
  advance(10s);  // 2.5 s + 4.0 s of music

  const auto states = ofKind(take(), "state");
  ASSERT_GE(states.size(), 2u);
  Ids seenPlaying;
  for (std::size_t i = 0; i + 1 < states.size(); ++i) {
    EXPECT_EQ(states[i]["status"], "playing");
    const std::string id = states[i]["song"]["id"];
    if (seenPlaying.empty() || seenPlaying.back() != id) seenPlaying.push_back(id);
  }
  EXPECT_EQ(seenPlaying, (Ids{tinyClick, shortBell}));
  // The player is back on its first entry, paused at 0: that is the end.
  EXPECT_EQ(states.back(), Json::parse(R"({"type":"state","status":"ended","positionMs":0,"token":"t","index":0,
                            "song":{"title":"Tiny Click","id":"1000000011","artist":"Test Signals",
                                    "album":"Calibration","durationMs":2500,
                                    "artwork":"https://artwork.example/1000000011/600x600bb.jpg",
                                    "link":"https://music.example/us/song/1000000011"}})"));
  EXPECT_FALSE(player->loaded);
  EXPECT_FALSE(timerRunning());
  advance(30s);
  EXPECT_TRUE(take().empty());
}

}  // namespace
}  // namespace tolvane::testing
