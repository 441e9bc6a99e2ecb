// The transport commands through the real process: each answer, and the state line that the
// report after it writes.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/helper_process.h"

namespace tolvane::testing {
namespace {

constexpr const char* morningTide = "1000000001";    // 214.0 s
constexpr const char* paperLanterns = "1000000002";  // 187.5 s

class TransportTest : public HelperProcessTest {
 protected:
  // Loads [Morning Tide, Paper Lanterns] and returns the state line that follows the answer.
  Json load() {
    helper.sendLine({{"type", "play"}, {"id", "load"}, {"ids", {morningTide, paperLanterns}}, {"token", "walk"}});
    EXPECT_EQ(helper.readMessage(), Json({{"type", "answer"}, {"id", "load"}}));
    return stateLine();
  }

  // Sends `command` with a fresh id; its answer must carry nothing but "type" and "id". Returns the
  // state line that comes right after the answer. Lines before the answer can only be reports that
  // notifications of earlier changes caused.
  Json succeeds(Json command) {
    command["id"] = ++lastId;
    helper.sendLine(command);
    EXPECT_EQ(answerTo(lastId), Json({{"type", "answer"}, {"id", lastId}})) << command.dump();
    return stateLine();
  }

  // The answer to the command `id`, after any reports that notifications of earlier changes
  // caused (and nothing else).
  Json answerTo(const Json& id) {
    std::vector<Json> before;
    const auto answer = helper.readUntil(isAnswerTo(id), Millis(5000), &before);
    for (const Json& line : before) EXPECT_TRUE(isState(line)) << line.dump();
    EXPECT_TRUE(answer) << "no answer to " << id.dump();
    return answer.value_or(Json());
  }

  // The next line, which must be a state line of the loaded queue.
  Json stateLine() {
    Json state = helper.readMessage();
    EXPECT_TRUE(isState(state)) << state.dump();
    EXPECT_EQ(state.value("token", Json()), "walk");
    return state;
  }

  static long positionOf(const Json& state) { return state.value("positionMs", -1L); }

  int lastId = 0;
};

TEST_F(TransportTest, WalkThroughTheQueue) {
  const Json started = load();
  EXPECT_EQ(started.value("status", ""), "playing");
  EXPECT_EQ(started.value("index", -1), 0);
  EXPECT_EQ(songIdOf(started), morningTide);

  // pause: the report right after the answer already sees it, and the position stands still.
  const Json paused = succeeds({{"type", "pause"}});
  EXPECT_EQ(paused.value("status", ""), "paused");
  EXPECT_EQ(paused.value("index", -1), 0);
  std::this_thread::sleep_for(Millis(400));
  // A second pause is no error and shows the same position.
  const Json stillPaused = succeeds({{"type", "pause"}});
  EXPECT_EQ(stillPaused.value("status", ""), "paused");
  EXPECT_EQ(positionOf(stillPaused), positionOf(paused));

  // resume: playing again from where it stopped, and moving.
  const Json resumed = succeeds({{"type", "resume"}});
  EXPECT_EQ(resumed.value("status", ""), "playing");
  EXPECT_GE(positionOf(resumed), positionOf(paused));
  EXPECT_LE(positionOf(resumed), positionOf(paused) + 300);
  std::this_thread::sleep_for(Millis(400));
  // An unknown command while loaded is still followed by a report, which shows the position moved.
  helper.sendLine({{"type", "where"}, {"id", "where"}});
  EXPECT_EQ(answerTo("where"), Json({{"type", "answer"}, {"id", "where"}, {"error", "unknownCommand"}}));
  const Json moving = stateLine();
  EXPECT_GE(positionOf(moving), positionOf(resumed) + 300);

  // seek: the position in milliseconds within the current entry.
  const Json sought = succeeds({{"type", "seek"}, {"ms", 200000}});
  EXPECT_EQ(sought.value("status", ""), "playing");
  EXPECT_EQ(sought.value("index", -1), 0);
  EXPECT_GE(positionOf(sought), 200000);
  EXPECT_LE(positionOf(sought), 200500);

  // next: the second song from its start.
  const Json second = succeeds({{"type", "next"}});
  EXPECT_EQ(second.value("index", -1), 1);
  EXPECT_EQ(songIdOf(second), paperLanterns);
  EXPECT_EQ(second.value("status", ""), "playing");
  EXPECT_LT(positionOf(second), 500);

  // previous more than 3 s into the entry restarts it rather than going back.
  const Json intoSecond = succeeds({{"type", "seek"}, {"ms", 10000}});
  EXPECT_GE(positionOf(intoSecond), 10000);
  const Json restarted = succeeds({{"type", "previous"}});
  EXPECT_EQ(restarted.value("index", -1), 1);
  EXPECT_EQ(songIdOf(restarted), paperLanterns);
  EXPECT_LT(positionOf(restarted), 500);

  // previous within the first 3 s goes back to the first song.
  const Json back = succeeds({{"type", "previous"}});
  EXPECT_EQ(back.value("index", -1), 0);
  EXPECT_EQ(songIdOf(back), morningTide);
  EXPECT_EQ(back.value("status", ""), "playing");
  EXPECT_LT(positionOf(back), 500);

  // stop: the answer alone, no state line; afterwards every guarded command refuses.
  helper.sendLine({{"type", "stop"}, {"id", "stop"}});
  EXPECT_EQ(answerTo("stop"), Json({{"type", "answer"}, {"id", "stop"}}));
  for (const char* type : {"pause", "resume", "next", "previous", "seek"}) {
    helper.sendLine({{"type", type}, {"id", type}, {"ms", 1000}});
  }
  helper.sendLine({{"type", "stop"}, {"id", "again"}});
  for (const char* type : {"pause", "resume", "next", "previous", "seek"}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(helper.readMessage(), Json({{"type", "answer"}, {"id", type}, {"error", "nothingLoaded"}}));
  }
  // "stop" has no guard and may be repeated.
  EXPECT_EQ(helper.readMessage(), Json({{"type", "answer"}, {"id", "again"}}));
}

TEST(TransportThreshold, PreviousSkipsBackUpToThreeSecondsAndRestartsAfter) {
  struct Row {
    const char* name;
    int ms;
    int index;  // entry after "previous"
  };
  const Row rows[] = {
      // Exactly 3.0 s still skips back: a >= comparison would restart the entry here.
      {"at exactly 3 s", 3000, 0},
      // Just past 3.0 s the entry restarts: a larger threshold, or always skipping, fails here.
      {"just past 3 s", 3001, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HelperProcess process;
    process.sendLine({{"type", "play"}, {"id", 1}, {"ids", {morningTide, paperLanterns}}});
    ASSERT_TRUE(process.readUntil(isAnswerTo(1)));
    process.sendLine({{"type", "next"}, {"id", 2}});
    ASSERT_TRUE(process.readUntil(isAnswerTo(2)));
    // Paused, the position is exactly what seek set.
    process.sendLine({{"type", "pause"}, {"id", 3}});
    process.sendLine({{"type", "seek"}, {"id", 4}, {"ms", row.ms}});
    ASSERT_TRUE(process.readUntil(isAnswerTo(4)));
    const auto state = process.readUntil(isState);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->value("positionMs", -1), row.ms);
    EXPECT_EQ(state->value("index", -1), 1);

    process.sendLine({{"type", "previous"}, {"id", 5}});
    ASSERT_TRUE(process.readUntil(isAnswerTo(5)));
    const Json after = process.readMessage();
    EXPECT_EQ(after.value("index", -1), row.index);
    EXPECT_EQ(after.value("positionMs", -1), 0);
    EXPECT_EQ(process.stderrText(), "");
  }
}

TEST_F(TransportTest, SeekPositionFromItsArgument) {
  load();
  succeeds({{"type", "pause"}});
  struct Row {
    const char* name;
    Json ms;  // null: no "ms" member
    long positionMs;
  };
  const Row rows[] = {
      {"whole milliseconds", 1500, 1500},
      // Seconds are ms / 1000 with the fraction kept; the report truncates to whole ms.
      {"fraction", 2750.9, 2750},
      // Negative, or not a number at all: the start of the entry, never an error.
      {"negative", -200, 0},
      {"numeric string", "1500", 0},
      {"missing", nullptr, 0},
      // No upper bound: a position past the end is passed on as it is.
      {"past the end of the entry", 999999, 999999},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Json command = {{"type", "seek"}};
    if (!row.ms.is_null()) command["ms"] = row.ms;
    const Json state = succeeds(command);
    EXPECT_EQ(state.value("status", ""), "paused");
    EXPECT_EQ(positionOf(state), row.positionMs);
    EXPECT_EQ(state.value("index", -1), 0);
  }
}

}  // namespace
}  // namespace tolvane::testing
