// The termination handshake: SIGTERM is the operating system asking the helper to terminate.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/helper_process.h"

namespace tolvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

// "At once", with the margin a sanitizer build on a loaded machine needs.
constexpr Millis atOnce{5000};

class TerminationTest : public HelperProcessTest {
 protected:
  // The first answer shows that the helper is up, its termination handling included.
  void SetUp() override {
    helper.sendLine({{"type", "stop"}, {"id", "ready"}});
    ASSERT_EQ(helper.readMessage(atOnce), Json({{"type", "answer"}, {"id", "ready"}}));
  }

  // Sends SIGTERM and expects the "quit" line at once: one member, nothing else on the line.
  void requestTermination() {
    helper.signal(SIGTERM);
    EXPECT_EQ(helper.readLine(atOnce), R"({"type":"quit"})");
  }
};

TEST_F(TerminationTest, QuitsThenTerminatesTenSecondsLater) {
  const auto requested = Clock::now();
  requestTermination();
  // Still running, and silent, just under 10 s later, with stdin kept open.
  EXPECT_EQ(helper.readLinesFor(std::chrono::duration_cast<Millis>(requested + Millis(9500) - Clock::now())),
            std::vector<std::string>{});
  EXPECT_TRUE(helper.running()) << "terminated before 10 s";
  // Gone with status 0 soon after 10 s.
  EXPECT_EQ(helper.waitExit(std::chrono::duration_cast<Millis>(requested + Millis(11000) - Clock::now())), 0);
}

TEST_F(TerminationTest, EndOfInputWhileQuittingExitsAtOnce) {
  requestTermination();
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(atOnce), 0);
  EXPECT_EQ(helper.readLine(Millis(200)), std::nullopt);
}

TEST_F(TerminationTest, CommandsAreStillHandledWhileQuitting) {
  requestTermination();
  // Playback and answers go on as usual until the process ends.
  helper.sendLine({{"type", "play"}, {"id", 1}, {"ids", {"1000000001"}}});
  EXPECT_EQ(helper.readMessage(), Json({{"type", "answer"}, {"id", 1}}));
  const Json state = helper.readMessage();
  EXPECT_TRUE(isState(state));
  EXPECT_EQ(state.value("status", ""), "playing");
  helper.sendLine({{"type", "check"}, {"id", 2}});
  const auto checked = helper.readUntil(isAnswerTo(2));
  ASSERT_TRUE(checked);
  EXPECT_EQ(checked->value("canPlay", false), true);
  // Every request announces itself with its own "quit".
  helper.signal(SIGTERM);
  EXPECT_TRUE(helper.readUntil([](const Json& m) { return m == Json({{"type", "quit"}}); }, atOnce));
  EXPECT_TRUE(helper.running());
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(atOnce), 0);
}

}  // namespace
}  // namespace tolvane::testing
