#include "platform/run_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "support/counted.h"

namespace tolvane::testing {
namespace {

using namespace std::chrono_literals;

class RunLoopTest : public ::testing::Test {
 protected:
  // Time since the test began, as the loop sees it.
  Duration elapsed() const { return loop.now() - start; }

  ManualClock clock;
  RunLoop loop{clock};
  TimePoint start = loop.now();
};

TEST_F(RunLoopTest, JobsRunInPostOrderAndRunUntilIdleRunsWhatTheyPost) {
  std::vector<std::string> ran;
  loop.post([&] {
    ran.push_back("a");
    loop.post([&] {
      ran.push_back("a, posted by a");
      loop.post([&] { ran.push_back("posted two levels down"); });
    });
  });
  loop.post([&] { ran.push_back("b"); });
  loop.post([&] { ran.push_back("c"); });
  EXPECT_TRUE(ran.empty()) << "post() must only queue the job";

  EXPECT_EQ(loop.runUntilIdle(), 5u);
  EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c", "a, posted by a", "posted two levels down"}));
  EXPECT_EQ(loop.runUntilIdle(), 0u);
}

TEST_F(RunLoopTest, RunUntilIdleFiresWhatIsDueNowButNothingLater) {
  std::vector<std::string> ran;
  std::vector<Timer> timers;
  loop.post([&] {
    timers.push_back(loop.schedule(0s, [&] {
      ran.push_back("timer made due by a job");
      loop.post([&] { ran.push_back("job posted by that timer"); });
    }));
    timers.push_back(loop.schedule(1ns, [&] { ran.push_back("not due yet"); }));
  });

  EXPECT_EQ(loop.runUntilIdle(), 3u);
  EXPECT_EQ(ran, (std::vector<std::string>{"timer made due by a job", "job posted by that timer"}));
  EXPECT_EQ(elapsed(), 0s) << "runUntilIdle must not move the clock";
  EXPECT_EQ(loop.nextDeadline(), start + 1ns);
}

TEST_F(RunLoopTest, TimersFireInDeadlineOrderAndEqualDeadlinesInSchedulingOrder) {
  std::vector<std::pair<std::string, Duration>> fired;
  auto record = [&](std::string name) { return [&fired, this, name] { fired.emplace_back(name, elapsed()); }; };
  std::vector<Timer> timers;
  timers.push_back(loop.schedule(3s, record("c")));
  timers.push_back(loop.schedule(1s, [&, rec = record("a1")] {
    rec();
    // Due at 2 s like "b", but scheduled after it: must fire after it.
    timers.push_back(loop.schedule(1s, record("scheduled by a1")));
  }));
  timers.push_back(loop.schedule(2s, record("b")));
  timers.push_back(loop.schedule(1s, record("a2")));
  loop.runAfter(1s, record("a3"));
  timers.push_back(loop.schedule(0s, record("zero")));
  timers.push_back(loop.schedule(-1s, record("negative delay counts as zero")));

  loop.advance(3s);

  const std::vector<std::pair<std::string, Duration>> expected{
      {"zero", 0s},
      {"negative delay counts as zero", 0s},
      {"a1", 1s},
      {"a2", 1s},
      {"a3", 1s},
      {"b", 2s},
      {"scheduled by a1", 2s},
      {"c", 3s},
  };
  EXPECT_EQ(fired, expected);
}

TEST_F(RunLoopTest, ManyTimersOfOneDeadlineFireInSchedulingOrder) {
  // A heap orders by deadline only; with enough equal deadlines mixed among others, a missing
  // tie-break shows as a shuffled order.
  std::vector<int> fired;
  std::vector<Timer> timers;
  for (int i = 0; i < 64; ++i) {
    timers.push_back(loop.schedule(1s, [&fired, i] { fired.push_back(i); }));
    timers.push_back(loop.schedule(i % 2 ? 500ms : 2s, [] {}));
  }
  loop.advance(2s);
  ASSERT_EQ(fired.size(), 64u);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(fired[i], i);
}

TEST_F(RunLoopTest, AdvanceSetsTheClockToEachDeadlineBeforeFiring) {
  std::vector<Duration> seen;
  std::vector<Timer> timers;
  timers.push_back(loop.schedule(1s, [&] {
    seen.push_back(elapsed());
    // Work queued by an action runs before the clock moves on.
    loop.post([&] { seen.push_back(elapsed()); });
    timers.push_back(loop.schedule(250ms, [&] { seen.push_back(elapsed()); }));
  }));
  timers.push_back(loop.schedule(2500ms, [&] { seen.push_back(elapsed()); }));
  timers.push_back(loop.schedule(4s, [&] { seen.push_back(elapsed()); }));

  loop.advance(3s);
  EXPECT_EQ(seen, (std::vector<Duration>{1s, 1s, 1250ms, 2500ms}));
  EXPECT_EQ(elapsed(), 3s);

  loop.advance(1s);
  EXPECT_EQ(seen.back(), 4s) << "a deadline exactly at the end of the step fires in it";
  EXPECT_EQ(seen.size(), 5u);
}

TEST_F(RunLoopTest, RepeatingTimerKeepsItsBeatFromThePreviousDeadline) {
  std::vector<Duration> ticks;
  Timer timer = loop.scheduleRepeating(1s, [&] { ticks.push_back(elapsed()); });

  loop.advance(3500ms);
  EXPECT_EQ(ticks, (std::vector<Duration>{1s, 2s, 3s}));

  // The loop comes round 0.7 s late: the tick is late, the next one stays on the beat.
  clock.set(start + 4700ms);
  loop.runUntilIdle();
  EXPECT_EQ(ticks.back(), 4700ms);
  EXPECT_EQ(loop.nextDeadline(), start + 5s);

  // Several beats missed at once: one late tick, then back on the beat, not a burst of catch-ups.
  clock.set(start + 8300ms);
  loop.runUntilIdle();
  EXPECT_EQ(ticks, (std::vector<Duration>{1s, 2s, 3s, 4700ms, 8300ms}));
  EXPECT_EQ(loop.nextDeadline(), start + 9s);
}

TEST_F(RunLoopTest, CancelledTimerNeverRunsEvenWhenDueAndReleasesItsAction) {
  struct Row {
    const char* name;
    bool repeating;
    std::function<void(std::optional<Timer>&)> cancel;
  };
  const Row rows[] = {
      // A loop that checks cancellation only when scheduling, not when firing, would run these.
      {"invalidate()", false, [](std::optional<Timer>& t) { t->invalidate(); }},
      {"invalidate() of a repeating timer", true, [](std::optional<Timer>& t) { t->invalidate(); }},
      // A handle whose destructor only drops its reference would leave the timer armed.
      {"handle destroyed", false, [](std::optional<Timer>& t) { t.reset(); }},
      {"handle destroyed, repeating", true, [](std::optional<Timer>& t) { t.reset(); }},
      // Move-assignment must cancel what the handle held before.
      {"an empty handle assigned over it", false, [](std::optional<Timer>& t) { *t = Timer{}; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ManualClock rowClock;
    RunLoop rowLoop{rowClock};
    int live = 0;
    bool ran = false;
    auto action = [&ran, &live] { return [&ran, guard = Counted(live)] { ran = true; }; };
    std::optional<Timer> timer =
        row.repeating ? rowLoop.scheduleRepeating(1s, action()) : rowLoop.schedule(1s, action());
    ASSERT_EQ(live, 1) << "only the loop holds the action";

    rowClock.set(rowClock.now() + 2s);  // due, not yet fired
    row.cancel(timer);
    EXPECT_EQ(live, 0) << "the cancelled action must be released at once";
    EXPECT_FALSE(timer && timer->isValid());

    rowLoop.runUntilIdle();
    EXPECT_FALSE(ran);
    EXPECT_EQ(rowLoop.nextDeadline(), std::nullopt);
  }
}

TEST_F(RunLoopTest, TimerCancelledByAnEarlierActionOfTheSameMomentDoesNotRun) {
  std::vector<std::string> ran;
  Timer second;
  Timer first = loop.schedule(1s, [&] {
    ran.push_back("first");
    second.invalidate();
  });
  second = loop.schedule(1s, [&] { ran.push_back("second"); });

  loop.advance(1s);
  EXPECT_EQ(ran, (std::vector<std::string>{"first"}));
}

TEST_F(RunLoopTest, TimerMayInvalidateItselfFromItsOwnAction) {
  int live = 0;
  int ticks = 0;
  int liveInsideAfterInvalidate = -1;
  Timer timer;
  timer = loop.scheduleRepeating(1s, [&, guard = Counted(live)] {
    if (++ticks == 3) {
      timer.invalidate();
      // The action that is running must not have been destroyed under its own feet.
      liveInsideAfterInvalidate = live;
    }
  });

  loop.advance(10s);
  EXPECT_EQ(ticks, 3);
  EXPECT_GE(liveInsideAfterInvalidate, 1);
  EXPECT_EQ(live, 0) << "the action is released once it has returned";
  EXPECT_FALSE(timer.isValid());
}

TEST_F(RunLoopTest, TimerMayReplaceItselfFromItsOwnAction) {
  // The pattern of a timer that reschedules itself with a new period.
  std::vector<std::pair<std::string, Duration>> fired;
  Timer timer;
  timer = loop.scheduleRepeating(1s, [&] {
    fired.emplace_back("repeating", elapsed());
    timer = loop.schedule(500ms, [&] { fired.emplace_back("replacement", elapsed()); });
  });

  loop.advance(5s);
  const std::vector<std::pair<std::string, Duration>> expected{{"repeating", 1s}, {"replacement", 1500ms}};
  EXPECT_EQ(fired, expected);
}

TEST_F(RunLoopTest, TimerHandleMayOutliveItsLoop) {
  int live = 0;
  auto ownLoop = std::make_unique<RunLoop>(clock);
  Timer timer = ownLoop->schedule(1s, [guard = Counted(live)] {});
  ASSERT_EQ(live, 1);

  ownLoop.reset();
  EXPECT_EQ(live, 0) << "the loop releases the actions it still holds";
  EXPECT_FALSE(timer.isValid());
  timer.invalidate();  // does nothing, and must not touch the gone loop
}

// Timers cancelled long before their deadline must not pile up: a player that reschedules its
// end-of-song timer on every command would otherwise hold one entry per command for up to an hour.
// Live timers around them keep their order.
TEST_F(RunLoopTest, CancelledTimersAreSweptOutLongBeforeTheirDeadline) {
  std::vector<int> fired;
  Timer early = loop.schedule(10min, [&] { fired.push_back(1); });
  Timer late = loop.schedule(2h, [&] { fired.push_back(2); });
  for (int i = 0; i < 100'000; ++i) {
    Timer cancelled = loop.schedule(1h, [&] { fired.push_back(0); });
    cancelled.invalidate();
    if (i % 1000 == 0) loop.runAfter(90min, [&] { fired.push_back(3); });  // never cancellable
  }
  EXPECT_LE(loop.heldTimers(), 300u);

  loop.advance(3h);
  EXPECT_EQ(fired.size(), 102u);
  EXPECT_EQ(fired.front(), 1);
  EXPECT_EQ(fired.back(), 2);
  EXPECT_EQ(std::count(fired.begin(), fired.end(), 3), 100);
}

// The loop's thread-facing side: real threads and a real clock, but nothing waits on time. A guard
// timer bounds each test should the loop fail to wake or to quit.
class RunLoopThreadTest : public ::testing::Test {
 protected:
  RunLoopThreadTest()
      : guard(loop.schedule(30s, [this] {
          timedOut = true;
          loop.quit();
        })) {}

  SteadyClock clock;
  RunLoop loop{clock};
  bool timedOut = false;
  Timer guard;
};

TEST_F(RunLoopThreadTest, PostFromOtherThreadsWhileTheLoopRunsKeepsEachThreadsOrder) {
  constexpr int jobsPerThread = 20000;
  std::vector<int> seen[2];
  int finished = 0;
  auto poster = [&](int which) {
    for (int i = 0; i < jobsPerThread; ++i) loop.post([&seen, which, i] { seen[which].push_back(i); });
    loop.post([&] {
      if (++finished == 2) loop.quit();
    });
  };
  std::thread first(poster, 0);
  std::thread second(poster, 1);
  loop.run();
  first.join();
  second.join();

  ASSERT_FALSE(timedOut) << "the loop did not see every job";
  for (const auto& jobs : seen) {
    ASSERT_EQ(jobs.size(), static_cast<std::size_t>(jobsPerThread));
    for (int i = 0; i < jobsPerThread; ++i) ASSERT_EQ(jobs[i], i);
  }
}

TEST_F(RunLoopThreadTest, QuitReturnsFromRunAfterTheRunningJobAndRunCanResume) {
  std::vector<std::string> ran;
  loop.post([&] {
    ran.push_back("first");
    loop.quit();
  });
  loop.post([&] { ran.push_back("second"); });
  loop.run();
  EXPECT_EQ(ran, (std::vector<std::string>{"first"}));

  // Running again picks up the queued job and a timer that is already due on the real clock.
  Timer due = loop.schedule(0s, [&] {
    ran.push_back("timer");
    loop.quit();
  });
  loop.run();
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "timer"}));
}

TEST_F(RunLoopThreadTest, PostFromAnotherThreadWakesAnIdleLoop) {
  std::thread waker([this] { loop.post([this] { loop.quit(); }); });
  loop.run();
  waker.join();
  EXPECT_FALSE(timedOut);
}

// A loop that spins before sleeping still sees every job posted from outside, still ends on quit(),
// and never lets the spin hold back a timer: the spin is far longer than the test may take.
TEST_F(RunLoopThreadTest, SpinningLoopRunsPostedJobsAndTimersOnTimeAndQuits) {
  loop.setSpinBeforeSleep(60s);
  constexpr int jobs = 1000;
  std::vector<int> seen;
  std::thread poster([&] {
    for (int i = 0; i < jobs; ++i) loop.post([&seen, i] { seen.push_back(i); });
  });
  Timer timer;
  std::atomic<bool> timerFired{false};
  // Posted from outside, so the loop spins afterwards; the timer must fire 1 ms later regardless.
  std::thread starter([&] { loop.post([&] { timer = loop.schedule(1ms, [&] { timerFired = true; }); }); });
  // Quits from outside, while the loop spins.
  std::thread quitter([&] {
    const auto giveUp = std::chrono::steady_clock::now() + 30s;
    while (!timerFired && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
    loop.quit();
  });
  const auto began = std::chrono::steady_clock::now();
  loop.run();
  poster.join();
  starter.join();
  quitter.join();
  const auto took = std::chrono::steady_clock::now() - began;

  ASSERT_FALSE(timedOut) << "the loop missed the quit";
  EXPECT_TRUE(timerFired);
  EXPECT_LT(took, 20s) << "the spin held back the timer or the quit";
  // Jobs posted before the quit have all run, in order, once the loop is run to the end.
  loop.post([this] { loop.quit(); });
  loop.run();
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(jobs));
  for (int i = 0; i < jobs; ++i) ASSERT_EQ(seen[i], i);
}

}  // namespace
}  // namespace tolvane::testing
