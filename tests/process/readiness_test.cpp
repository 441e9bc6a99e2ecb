// "check" and "authorize" through the real process.

#include <gtest/gtest.h>

#include <set>

#include "support/helper_process.h"

namespace tolvane::testing {
namespace {

// The readiness members with the simulated service as the helper runs it: authorized, a
// subscription that can play, storefront "us".
Json readyAnswer(const Json& id) {
  return Json{{"type", "answer"}, {"id", id}, {"authorization", "authorized"}, {"canPlay", true}, {"storefront", "us"}};
}

using ReadinessTest = HelperProcessTest;

TEST_F(ReadinessTest, CheckAnswersTheReadinessMembers) {
  helper.send(R"({"type":"check","id":1})"
              "\n");
  EXPECT_EQ(helper.readMessage(), readyAnswer(1));
  // Nothing is loaded, so no state line follows the answer.
  helper.sendLine({{"type", "stop"}, {"id", "marker"}});
  EXPECT_EQ(helper.readMessage(), Json({{"type", "answer"}, {"id", "marker"}}));
}

TEST_F(ReadinessTest, AuthorizeAnswersLikeCheck) {
  helper.sendLine({{"type", "authorize"}, {"id", "a"}});
  EXPECT_EQ(helper.readMessage(), readyAnswer("a"));
}

TEST_F(ReadinessTest, CommandSentWhileACheckWaitsIsAnsweredFirst) {
  helper.sendLine({{"type", "check"}, {"id", 1}});
  helper.sendLine({{"type", "pause"}, {"id", 2}});
  EXPECT_EQ(helper.readMessage(), Json({{"type", "answer"}, {"id", 2}, {"error", "nothingLoaded"}}));
  EXPECT_EQ(helper.readMessage(), readyAnswer(1));
}

TEST_F(ReadinessTest, ChecksRunSideBySideAndLeavePlaybackAlone) {
  helper.sendLine({{"type", "play"}, {"id", "play"}, {"ids", {"1000000001"}}});
  ASSERT_TRUE(helper.readUntil(isAnswerTo("play")));
  // Two checks and an authorize in flight at once: each gets its own complete answer.
  helper.sendLine({{"type", "check"}, {"id", 1}});
  helper.sendLine({{"type", "authorize"}, {"id", 2}});
  helper.sendLine({{"type", "check"}, {"id", 3}});
  std::set<int> answered;
  while (answered.size() < 3) {
    const Json message = helper.readMessage();
    if (message.is_discarded() || message.is_null()) break;  // readMessage has failed the test
    if (isState(message)) continue;                          // a report of the playing queue
    ASSERT_EQ(message.value("type", ""), "answer") << message.dump();
    const int id = message.value("id", 0);
    SCOPED_TRACE(id);
    EXPECT_EQ(message, readyAnswer(id));
    answered.insert(id);
    // While a queue is loaded every answer is followed by a report, and the check changed nothing.
    const Json state = helper.readMessage();
    EXPECT_TRUE(isState(state));
    EXPECT_EQ(state.value("status", ""), "playing");
    EXPECT_EQ(songIdOf(state), "1000000001");
  }
  EXPECT_EQ(answered, (std::set<int>{1, 2, 3}));
}

}  // namespace
}  // namespace tolvane::testing
