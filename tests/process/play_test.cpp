// "play" through the real process: the answer and the state lines that follow it, the queue built
// from the requested ids, failures, overtaking, and the report beat.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/helper_process.h"

namespace tolvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* shortBell = "1000000012";  // 4.0 s
constexpr const char* tinyClick = "1000000011";  // 2.5 s
constexpr const char* morningTide = "1000000001";
constexpr const char* paperLanterns = "1000000002";
constexpr const char* northbound = "1000000003";
constexpr const char* unknownId = "1999999999";

constexpr const char* notFoundText =
    R"(Error Domain=tolvane Code=1 "notFound" UserInfo={NSLocalizedDescription=notFound})";

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// An answer with nothing but "type" and "id": a command that succeeded.
Json plainAnswer(const Json& id) { return Json{{"type", "answer"}, {"id", id}}; }
Json errorAnswer(const Json& id, const std::string& error) {
  return Json{{"type", "answer"}, {"id", id}, {"error", error}};
}

using PlayTest = HelperProcessTest;

TEST_F(PlayTest, PlaysTheQueueToItsEndAndThenFallsSilent) {
  helper.send(R"({"type":"play","id":7,"ids":["1000000012","1000000011"],"token":"t"})"
              "\n");
  EXPECT_EQ(helper.readMessage(), plainAnswer(7));
  const auto answered = Clock::now();

  // The report that follows the answer describes the first song in full.
  const Json first = helper.readMessage();
  EXPECT_EQ(first.value("type", ""), "state");
  EXPECT_EQ(first.value("status", ""), "playing");
  EXPECT_EQ(first.value("index", -1), 0);
  EXPECT_EQ(first.value("token", Json()), "t");
  EXPECT_LT(first.value("positionMs", -1), 500);
  EXPECT_EQ(first.value("song", Json()), Json::parse(R"({
      "title": "Short Bell", "artist": "Test Signals", "album": "Calibration", "durationMs": 4000,
      "id": "1000000012", "artwork": "https://artwork.example/1000000012/600x600bb.jpg",
      "link": "https://music.example/us/song/1000000012"})"));

  std::vector<Json> before;
  const auto ended = helper.readUntil([](const Json& m) { return isState(m) && m.value("status", "") == "ended"; },
                                      Millis(9000), &before);
  ASSERT_TRUE(ended) << "no \"ended\" state";
  const double endedAfter = secondsSince(answered);
  // 4.0 s + 2.5 s of playback; the end must not be reported before the last song has played out.
  EXPECT_GE(endedAfter, 6.2);
  EXPECT_LE(endedAfter, 8.0);
  EXPECT_EQ(ended->value("token", Json()), "t");
  EXPECT_EQ(ended->value("index", -1), 0);  // the player is back on the first entry

  bool sawSecondSong = false;
  for (const Json& m : before) {
    SCOPED_TRACE(m.dump());
    ASSERT_TRUE(isState(m));
    EXPECT_EQ(m.value("status", ""), "playing");
    EXPECT_EQ(m.value("token", Json()), "t");
    const std::string id = songIdOf(m);
    // "index" follows the song: each id's position in the requested list.
    EXPECT_EQ(m.value("index", -1), id == shortBell ? 0 : 1);
    if (id == tinyClick) sawSecondSong = true;
  }
  EXPECT_TRUE(sawSecondSong);

  // After "ended" nothing more: no further report and no timer beat (the next would have come
  // about 10 s after the answer).
  EXPECT_EQ(helper.readLinesFor(Millis(4500)), std::vector<std::string>{});
  EXPECT_TRUE(helper.running());
}

TEST_F(PlayTest, QueueStartsAtTheRequestedPosition) {
  struct Row {
    const char* name;
    Json start;
    const char* firstSong;
    int firstIndex;
    const char* nextSong;  // the song after the first: shows which songs the queue holds
    int nextIndex;
  };
  // Requested: [A, X, B, A, C] with X unknown to the catalog.
  const Json ids = {morningTide, unknownId, paperLanterns, morningTide, northbound};
  const Row rows[] = {
      // Starting on the second A plays from the first A, with the whole found list queued
      // (a queue cut at A's second occurrence would go on with C).
      {"start on a repeated id", 3, morningTide, 0, paperLanterns, 2},
      // Found songs before the start song are left out: B, then A.
      {"start on a found id", 2, paperLanterns, 2, morningTide, 0},
      // An unknown id at the start position gives way to the next found one, B.
      {"start on an unknown id", 1, paperLanterns, 2, morningTide, 0},
      // Out of range is clamped, not rejected.
      // Past the end is the last id; the queue holds only C, so "next" wraps round to it.
      {"start past the end", 99, northbound, 4, northbound, 4},
      {"negative start", -4, morningTide, 0, paperLanterns, 2},
      // Something other than an integer counts as 0; an integral float counts as its value.
      {"fractional start", 2.5, morningTide, 0, paperLanterns, 2},
      {"start 2.0", 2.0, paperLanterns, 2, morningTide, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HelperProcess process;
    process.sendLine({{"type", "play"}, {"id", "p"}, {"ids", ids}, {"start", row.start}});
    EXPECT_EQ(process.readMessage(), plainAnswer("p"));
    const Json first = process.readMessage();
    EXPECT_EQ(songIdOf(first), row.firstSong);
    EXPECT_EQ(first.value("index", -1), row.firstIndex);

    process.sendLine({{"type", "next"}, {"id", "n"}});
    EXPECT_EQ(process.readUntil(isAnswerTo("n")), plainAnswer("n"));
    const Json second = process.readMessage();
    EXPECT_EQ(songIdOf(second), row.nextSong);
    EXPECT_EQ(second.value("index", -1), row.nextIndex);
    EXPECT_EQ(process.stderrText(), "");
  }
}

TEST_F(PlayTest, PlayOfNothingKnownAnswersNotFound) {
  struct Row {
    const char* name;
    Json ids;
  };
  const Row rows[] = {
      // The error is the description of the error object, not just its localized text.
      {"unknown ids", {unknownId, "not-an-id"}},
      {"empty list", Json::array()},
      {"ids missing", nullptr},
      // One element that is not a string spoils the whole list.
      {"a number among known ids", {morningTide, 5}},
      {"ids not an array", morningTide},
  };
  int id = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Json command = {{"type", "play"}, {"id", ++id}};
    if (!row.ids.is_null()) command["ids"] = row.ids;
    helper.sendLine(command);
    EXPECT_EQ(helper.readMessage(), errorAnswer(id, notFoundText));
    // Nothing was loaded, so no state line follows: the next line is the marker's answer.
    helper.sendLine({{"type", "stop"}, {"id", "marker"}});
    EXPECT_EQ(helper.readMessage(), plainAnswer("marker"));
  }
}

TEST_F(PlayTest, FailedPlayLeavesNothingLoaded) {
  helper.sendLine({{"type", "play"}, {"id", 1}, {"ids", {morningTide}}});
  ASSERT_TRUE(helper.readUntil(isAnswerTo(1)));
  helper.sendLine({{"type", "play"}, {"id", 2}, {"ids", {unknownId}}});
  ASSERT_TRUE(helper.readUntil(isAnswerTo(2)));
  // The earlier queue is no longer loaded: the guarded commands refuse and nothing is reported.
  helper.sendLine({{"type", "pause"}, {"id", 3}});
  helper.sendLine({{"type", "stop"}, {"id", 4}});
  EXPECT_EQ(helper.readMessage(), errorAnswer(3, "nothingLoaded"));
  EXPECT_EQ(helper.readMessage(), plainAnswer(4));
}

TEST(PlayOvertaking, SecondPlayOvertakesTheFirst) {
  struct Row {
    const char* name;
    Millis gap;  // between the two commands
  };
  const Row rows[] = {
      {"sent right after", Millis(0)},
      // The second play lands while the first waits for the catalog (100 ms), and its own catalog
      // answer comes after the first's player start (150 ms): a first play that went on loading
      // after the catalog wait would report its own song under the second's token.
      {"sent while the first waits", Millis(75)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HelperProcess helper;
    helper.sendLine({{"type", "play"}, {"id", 1}, {"ids", {morningTide}}, {"token", "first"}});
    std::this_thread::sleep_for(row.gap);
    helper.sendLine({{"type", "play"}, {"id", 2}, {"ids", {northbound, paperLanterns}}, {"token", "second"}});
    std::vector<Json> lines;
    ASSERT_TRUE(helper.readUntil(isAnswerTo(2), Millis(5000), &lines));
    for (const Json& m : helper.readMessagesFor(Millis(500))) lines.push_back(m);

    int firstAnswers = 0;
    int secondStates = 0;
    for (const Json& m : lines) {
      SCOPED_TRACE(m.dump());
      if (isAnswerTo(1)(m)) {
        ++firstAnswers;
        EXPECT_EQ(m, plainAnswer(1));  // overtaken quietly: no error
        continue;
      }
      ASSERT_TRUE(isState(m));
      if (m.value("token", Json()) == "first") {
        // Only possible when this process was slow to send the second play: the first had
        // finished by then.
        EXPECT_EQ(songIdOf(m), morningTide);
        continue;
      }
      // Every state of the second request shows the second queue, from its first song.
      ++secondStates;
      EXPECT_EQ(m.value("token", Json()), "second");
      EXPECT_EQ(songIdOf(m), northbound);
      EXPECT_EQ(m.value("index", -1), 0);
    }
    EXPECT_EQ(firstAnswers, 1);
    EXPECT_GE(secondStates, 1);
    // The first play's song is not in the queue: skipping goes to the second queue's next song.
    helper.sendLine({{"type", "next"}, {"id", 3}});
    EXPECT_EQ(helper.readUntil(isAnswerTo(3)), plainAnswer(3));
    EXPECT_EQ(songIdOf(helper.readMessage()), paperLanterns);
    EXPECT_EQ(helper.stderrText(), "");
  }
}

TEST_F(PlayTest, GuardedCommandDuringCatalogWaitIsAnsweredFirst) {
  helper.sendLine({{"type", "play"}, {"id", 1}, {"ids", {morningTide}}});
  helper.sendLine({{"type", "pause"}, {"id", 2}});
  // The pause runs while the play waits, and finds nothing loaded yet.
  EXPECT_EQ(helper.readMessage(), errorAnswer(2, "nothingLoaded"));
  EXPECT_EQ(helper.readMessage(), plainAnswer(1));
  const Json state = helper.readMessage();
  EXPECT_TRUE(isState(state));
  // The pause touched nothing: the new queue plays.
  EXPECT_EQ(state.value("status", ""), "playing");
}

TEST_F(PlayTest, ReportsEveryFiveSecondsWhileLoaded) {
  helper.sendLine({{"type", "play"}, {"id", 1}, {"ids", {morningTide}}, {"token", 9}});
  ASSERT_TRUE(helper.readUntil(isAnswerTo(1)));
  const auto answered = Clock::now();
  // The state lines that come with the start of playback.
  std::vector<Json> startLines = helper.readMessagesFor(Millis(1000));
  EXPECT_GE(startLines.size(), 1u);

  std::vector<double> beats;
  while (secondsSince(answered) < 10.7) {
    const auto left = Millis(static_cast<long>((10.7 - secondsSince(answered)) * 1000));
    auto line = helper.readLine(left);
    if (!line) break;
    const double at = secondsSince(answered);
    const Json m = Json::parse(*line, nullptr, false);
    SCOPED_TRACE(*line);
    EXPECT_TRUE(isState(m));
    EXPECT_EQ(m.value("status", ""), "playing");
    EXPECT_EQ(m.value("token", Json()), 9);
    EXPECT_EQ(m.value("index", -1), 0);
    // The position moves on with real time.
    EXPECT_NEAR(m.value("positionMs", 0) / 1000.0, at, 0.5);
    beats.push_back(at);
  }
  ASSERT_EQ(beats.size(), 2u) << "expected one report at about 5 s and one at about 10 s";
  EXPECT_NEAR(beats[0], 5.0, 0.5);
  EXPECT_NEAR(beats[1], 10.0, 0.5);
}

}  // namespace
}  // namespace tolvane::testing
