// Termination requests in bulk, and termination racing the end of input.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/helper_process.h"

namespace tolvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

const std::string quitLine = R"({"type":"quit"})";

// "At once", with the margin a sanitizer build on a loaded machine needs.
constexpr Millis atOnce{5000};

// Sends `count` SIGTERMs, each after the previous one's "quit" line arrived, and returns when the
// first was sent. Standard signals do not queue: one sent while another of its kind is still pending
// is merged into it by the kernel, so each request waits until the last one was seen handled.
Clock::time_point sendTerminations(HelperProcess& helper, int count) {
  const auto first = Clock::now();
  for (int i = 0; i < count; ++i) {
    helper.signal(SIGTERM);
    EXPECT_EQ(helper.readLine(atOnce), quitLine) << "quit line " << i;
  }
  return first;
}

// The first answer shows that the helper is up, its termination handling included.
void awaitReady(HelperProcess& helper) {
  helper.sendLine({{"type", "stop"}, {"id", "ready"}});
  ASSERT_EQ(helper.readMessage(atOnce), Json({{"type", "answer"}, {"id", "ready"}}));
}

class TerminationFaultTest : public HelperProcessTest {
 protected:
  void SetUp() override { awaitReady(helper); }
};

TEST_F(TerminationFaultTest, BurstOfRequestsQuitsOnceEachAndEndsTenSecondsAfterTheFirst) {
  constexpr int requests = 50;
  // Every request writes its own "quit" line at once; nothing else is written.
  const auto first = sendTerminations(helper, requests);
  if (HasFailure()) return;
  // The first request's reply, 10 s later, ends the process; the other replies never come to pass.
  const auto untilFirst = [&](Millis offset) {
    return std::chrono::duration_cast<Millis>(first + offset - Clock::now());
  };
  EXPECT_EQ(helper.readLinesFor(untilFirst(Millis(9500))), std::vector<std::string>{});
  EXPECT_TRUE(helper.running()) << "ended before 10 s";
  EXPECT_EQ(helper.waitExit(untilFirst(Millis(11500))), 0);
  EXPECT_EQ(helper.readLine(Millis(200)), std::nullopt);
  EXPECT_EQ(helper.pendingOutput(), "");
}

TEST(TerminationRaceTest, EndOfInputAfterRequestsExitsAtOnce) {
  // The scheduled replies must not hold the process for their 10 s once input has ended. (Input
  // that ends right after a request, before its "quit" was seen, is the host set-up tests' case.)
  for (const int requests : {1, 20}) {
    SCOPED_TRACE(std::to_string(requests) + " requests");
    HelperProcess process;
    awaitReady(process);
    if (HasFatalFailure()) return;
    sendTerminations(process, requests);
    const auto ended = Clock::now();
    process.closeInput();
    EXPECT_EQ(process.waitExit(atOnce), 0);
    RecordProperty("exitMs " + std::to_string(requests),
                   std::to_string(std::chrono::duration_cast<Millis>(Clock::now() - ended).count()));
    EXPECT_EQ(process.readLine(Millis(200)), std::nullopt);
    EXPECT_EQ(process.pendingOutput(), "");
    EXPECT_EQ(process.stderrText(), "");
  }
}

}  // namespace
}  // namespace tolvane::testing
