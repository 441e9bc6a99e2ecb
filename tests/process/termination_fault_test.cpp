// Termination requests in bulk, and termination racing the end of input.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/helper_process.h"

namespace tolvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

const std::string quitLine = R"({"type":"quit"})";

// Sends `count` SIGTERMs a few milliseconds apart and returns when the first was sent. Standard
// signals do not queue: one that arrives while another of its kind is still pending is merged into
// it by the kernel. The gap lets each be delivered (its handler has run) before the next is sent, so
// that every one of them is a request of its own.
Clock::time_point sendTerminations(HelperProcess& helper, int count) {
  const auto first = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (i > 0) std::this_thread::sleep_for(Millis(3));
    helper.signal(SIGTERM);
  }
  return first;
}

// The first answer shows that the helper is up, its termination handling included.
void awaitReady(HelperProcess& helper) {
  helper.sendLine({{"type", "stop"}, {"id", "ready"}});
  ASSERT_EQ(helper.readMessage(), Json({{"type", "answer"}, {"id", "ready"}}));
}

class TerminationFaultTest : public HelperProcessTest {
 protected:
  void SetUp() override { awaitReady(helper); }
};

TEST_F(TerminationFaultTest, BurstOfRequestsQuitsOnceEachAndEndsTenSecondsAfterTheFirst) {
  constexpr int requests = 50;
  const auto first = sendTerminations(helper, requests);
  // Every request writes its own "quit" line at once; nothing else is written.
  for (int i = 0; i < requests; ++i) {
    ASSERT_EQ(helper.readLine(Millis(2000)), quitLine) << "quit line " << i;
  }
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

TEST(TerminationRaceTest, EndOfInputRightAfterRequestsExitsAtOnce) {
  struct Row {
    const char* name;
    int requests;
    bool awaitQuit;  // wait for the "quit" lines before ending the input
  };
  const Row rows[] = {
      // The scheduled reply must not hold the process for its 10 s once input has ended.
      {"one request, quit seen", 1, true},
      {"a burst, quit lines seen", 20, true},
      // Input ends while the requests are still on their way: whichever comes first, the process
      // ends at once with status 0, and any line it writes is a whole "quit".
      {"one request, input ends at once", 1, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HelperProcess process;
    awaitReady(process);
    if (HasFatalFailure()) return;
    sendTerminations(process, row.requests);
    if (row.awaitQuit) {
      for (int i = 0; i < row.requests; ++i) ASSERT_EQ(process.readLine(Millis(2000)), quitLine);
    }
    const auto ended = Clock::now();
    process.closeInput();
    EXPECT_EQ(process.waitExit(Millis(1500)), 0);
    RecordProperty(std::string("exitMs ") + row.name,
                   std::to_string(std::chrono::duration_cast<Millis>(Clock::now() - ended).count()));
    for (auto line = process.readLine(Millis(200)); line; line = process.readLine(Millis(200))) {
      EXPECT_EQ(*line, quitLine);
    }
    EXPECT_EQ(process.pendingOutput(), "");
    EXPECT_EQ(process.stderrText(), "");
  }
}

}  // namespace
}  // namespace tolvane::testing
