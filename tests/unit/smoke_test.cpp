#include "support/player_fixture.h"

namespace tolvane::testing {
namespace {

using SmokeTest = PlayerFixture;

TEST_F(SmokeTest, PlayAnswersThenReportsUntilTheQueueEnds) {
  playStarted({"1000000012", "1000000011"}, {{"token", "t"}});
  auto messages = take();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), Json::parse(R"({"type":"answer","id":"load"})"));
  advance(10s);
  auto states = take();
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back()["status"], "ended");
}

}  // namespace
}  // namespace tolvane::testing
