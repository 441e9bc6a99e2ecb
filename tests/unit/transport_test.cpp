// The transport commands on a loaded queue: stop, pause, resume, next, previous and seek, with the
// platform player's errors and the interleavings the waits allow.

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/player_fixture.h"

namespace tolvane::testing {
namespace {

constexpr const char* morningTide = "1000000001";    // 214.0 s
constexpr const char* paperLanterns = "1000000002";  // 187.5 s

std::vector<Json> ofKind(const std::vector<Json>& messages, const std::string& type) {
  std::vector<Json> out;
  for (const auto& m : messages)
    if (m.value("type", "") == type) out.push_back(m);
  return out;
}

class TransportTest : public PlayerFixture {
 protected:
  std::optional<std::string> currentId() {
    const auto entry = simPlayer().queue()->currentEntry();
    if (!entry || !entry->song) return std::nullopt;
    return entry->song->id;
  }
};

TEST_F(TransportTest, PreviousRestartsAfterMoreThanThreeSecondsAndSkipsBackOtherwise) {
  struct Row {
    const char* name;
    double position;
    bool restarts;
  };
  const Row rows[] = {
      // >= instead of > at the threshold.
      {"exactly 3.0 s", 3.0, false},
      {"3.01 s", 3.01, true},
      {"at the start", 0.0, false},
      {"well into the song", 120.0, true},
      // Restarting when the position is not a number: only "more than 3.0" restarts.
      {"position not a number", std::numeric_limits<double>::quiet_NaN(), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    playStarted({morningTide, paperLanterns});
    simPlayer().setCurrentIndex(1);
    simPlayer().setRawPlaybackTime(row.position);
    loop.runUntilIdle();
    take();
    const std::size_t restarts = simPlayer().restartCalls();
    const std::size_t skips = simPlayer().skipPreviousCalls();

    send(R"({"type":"previous","id":"v"})");

    if (row.restarts) {
      // No wait: answered at once.
      const auto messages = take();
      ASSERT_FALSE(messages.empty());
      EXPECT_EQ(messages[0], (Json{{"type", "answer"}, {"id", "v"}}));
      EXPECT_EQ(simPlayer().restartCalls(), restarts + 1);
      EXPECT_EQ(simPlayer().skipPreviousCalls(), skips);
      EXPECT_EQ(currentId(), paperLanterns);
      EXPECT_LT(simPlayer().playbackTime(), 1.0);
    } else {
      // Waits for the skip.
      EXPECT_TRUE(ofKind(take(), "answer").empty());
      advance(20ms);
      const auto messages = take();
      ASSERT_FALSE(messages.empty());
      EXPECT_EQ(messages[0], (Json{{"type", "answer"}, {"id", "v"}}));
      EXPECT_EQ(simPlayer().restartCalls(), restarts);
      EXPECT_EQ(simPlayer().skipPreviousCalls(), skips + 1);
      EXPECT_EQ(currentId(), morningTide);
    }
  }
}

TEST_F(TransportTest, SeekSetsMillisecondsAsSecondsWithZeroForAnythingElse) {
  struct Row {
    const char* name;
    std::optional<Json> ms;
    double seconds;
  };
  const Row rows[] = {
      {"1500", Json(1500), 1.5},
      {"250", Json(250), 0.25},
      // Integer division of a fraction.
      {"fraction 1.5", Json(1.5), 0.0015},
      {"-200", Json(-200), 0.0},
      {"negative fraction", Json(-0.5), 0.0},
      // Reading a numeric string.
      {"string \"1500\"", Json("1500"), 0.0},
      {"null", Json(nullptr), 0.0},
      // Our JSON layer does not count a boolean as a number.
      {"true", Json(true), 0.0},
      {"array", Json::parse("[1500]"), 0.0},
      {"object", Json::parse(R"({"ms":1500})"), 0.0},
      {"missing", std::nullopt, 0.0},
      // Clamping to the song's length: the value goes to the player as it is.
      {"far past the song's end", Json(9.0e9), 9.0e6},
  };
  // Paused on the first of two songs, so that any position stays where it was put.
  playStarted({morningTide, paperLanterns});
  send(R"({"type":"pause"})");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    simPlayer().setRawPlaybackTime(42.0);
    take();
    Json command = {{"type", "seek"}, {"id", "k"}};
    if (row.ms) command["ms"] = *row.ms;

    send(command);

    const auto messages = take();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], (Json{{"type", "answer"}, {"id", "k"}}));
    EXPECT_DOUBLE_EQ(simPlayer().playbackTime(), row.seconds);
    EXPECT_EQ(messages[1]["positionMs"], static_cast<std::int64_t>(row.seconds * 1000.0));
    EXPECT_EQ(currentId(), morningTide);
  }
}

TEST_F(TransportTest, ResumeWhosePlayFailsAnswersTheErrorAndStartsNoTimer) {
  const Error refused{"tolvane.simulator", 3, "The player refused to play"};
  service.setFailure(Operation::play, refused);
  playStarted({morningTide});  // loaded, but the start failed: no timer
  ASSERT_TRUE(player->loaded);
  ASSERT_FALSE(timerRunning());
  take();

  send(R"({"type":"resume","id":"r"})");
  advance(100ms);
  const auto failed = take();
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0], (Json{{"type", "answer"}, {"id", "r"}, {"error", refused.description()}}));
  EXPECT_EQ(failed[1]["type"], "state");
  EXPECT_EQ(simPlayer().playCalls(), 2u);  // no retry
  EXPECT_FALSE(timerRunning());
  advance(10s);
  EXPECT_TRUE(take().empty());

  // The same command once the player plays again: the timer starts.
  service.clearFailure(Operation::play);
  send(R"({"type":"resume","id":"r2"})");
  advance(100ms);
  EXPECT_EQ(ofKind(take(), "answer"), (std::vector<Json>{{{"type", "answer"}, {"id", "r2"}}}));
  EXPECT_TRUE(timerRunning());
  advance(5s);
  EXPECT_EQ(ofKind(take(), "state").size(), 1u);
}

TEST_F(TransportTest, ResumeOvertakenByAStopStillStartsTheTimerWhoseReportsWriteNothing) {
  playStarted({morningTide});
  send(R"({"type":"pause"})");
  take();

  send(R"({"type":"resume","id":"r"})");  // waits 50 ms for the player
  send(R"({"type":"stop","id":"s"})");
  EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "s"}}}));
  EXPECT_FALSE(timerRunning());

  advance(50ms);
  // The resume does not look at `loaded` again once the player answers.
  EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "r"}}}));
  EXPECT_TRUE(timerRunning());
  EXPECT_FALSE(player->loaded);
  advance(10s);
  EXPECT_TRUE(take().empty());
}

TEST_F(TransportTest, PauseTwiceAnswersTwiceAndKeepsReporting) {
  playStarted({morningTide});
  take();

  send(R"({"type":"pause","id":1})");
  send(R"({"type":"pause","id":2})");

  const auto messages = take();
  const auto answers = ofKind(messages, "answer");
  EXPECT_EQ(answers, (std::vector<Json>{{{"type", "answer"}, {"id", 1}}, {{"type", "answer"}, {"id", 2}}}));
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (messages[i]["type"] != "answer") continue;
    ASSERT_LT(i + 1, messages.size());
    EXPECT_EQ(messages[i + 1]["type"], "state");
    EXPECT_EQ(messages[i + 1]["status"], "paused");
  }
  EXPECT_EQ(simPlayer().pauseCalls(), 2u);
  EXPECT_TRUE(player->loaded);
  // Pausing leaves the timer running: a paused queue is still reported every 5 s.
  EXPECT_TRUE(timerRunning());
  advance(5s);
  const auto timed = take();
  ASSERT_EQ(timed.size(), 1u);
  EXPECT_EQ(timed[0]["status"], "paused");
}

TEST_F(TransportTest, StopBeforeAnyPlayAnswersWithoutError) {
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    send(R"({"type":"stop","id":"s"})");
    EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "s"}}}));
    // Not guarded: the player is stopped and the request counter moves every time.
    EXPECT_EQ(simPlayer().stopCalls(), static_cast<std::size_t>(round));
    EXPECT_EQ(player->generation, round);
    EXPECT_TRUE(player->stopped);
  }
}

TEST_F(TransportTest, AfterAStopTheGuardedCommandsAnswerNothingLoaded) {
  playStarted({morningTide, paperLanterns}, {{"token", "t"}});
  take();

  send(R"({"type":"stop","id":"s"})");
  // No state line after the stop's answer.
  EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "s"}}}));
  EXPECT_FALSE(player->loaded);
  EXPECT_FALSE(timerRunning());
  EXPECT_TRUE(player->requested.empty());
  EXPECT_TRUE(player->queued.empty());
  EXPECT_EQ(simPlayer().playbackStatus(), PlaybackStatus::stopped);

  const char* guarded[] = {
      R"({"type":"pause","id":"g"})",    R"({"type":"resume","id":"g"})",        R"({"type":"next","id":"g"})",
      R"({"type":"previous","id":"g"})", R"({"type":"seek","id":"g","ms":500})",
  };
  for (const char* command : guarded) {
    SCOPED_TRACE(command);
    const std::size_t calls = simPlayer().calls();
    send(command);
    advance(100ms);
    EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "g"}, {"error", "nothingLoaded"}}}));
    EXPECT_EQ(simPlayer().calls(), calls);
  }
  advance(10s);
  EXPECT_TRUE(take().empty());
}

TEST_F(TransportTest, SkipErrorsBecomeTheAnswersError) {
  const Error cannotSkip{"tolvane.simulator", 7, "Skipping is not possible right now"};
  struct Row {
    const char* name;
    Operation operation;
    const char* command;
  };
  const Row rows[] = {
      {"next", Operation::skipToNextEntry, R"({"type":"next","id":"x"})"},
      {"previous that skips back", Operation::skipToPreviousEntry, R"({"type":"previous","id":"x"})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    playStarted({morningTide, paperLanterns});
    take();
    const std::size_t skips = simPlayer().skipNextCalls() + simPlayer().skipPreviousCalls();
    service.setFailure(row.operation, cannotSkip);

    send(row.command);
    advance(100ms);
    service.clearFailure(row.operation);

    const auto messages = take();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], (Json{{"type", "answer"}, {"id", "x"}, {"error", cannotSkip.description()}}));
    // Still loaded: the report follows, on the same entry.
    EXPECT_EQ(messages[1]["type"], "state");
    EXPECT_EQ(messages[1]["song"]["id"], morningTide);
    EXPECT_TRUE(player->loaded);
    EXPECT_EQ(simPlayer().skipNextCalls() + simPlayer().skipPreviousCalls(), skips + 1);  // no retry
  }
}

TEST_F(TransportTest, NextMovesToTheNextEntryAfterItsWait) {
  playStarted({morningTide, paperLanterns});
  take();

  send(R"({"type":"next","id":"n"})");
  EXPECT_TRUE(take().empty());  // waiting for the player
  advance(20ms);

  const auto messages = take();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[0], (Json{{"type", "answer"}, {"id", "n"}}));
  EXPECT_EQ(messages[1]["song"]["id"], paperLanterns);
  EXPECT_EQ(messages[1]["index"], 1);
  EXPECT_EQ(currentId(), paperLanterns);
}

}  // namespace
}  // namespace tolvane::testing
