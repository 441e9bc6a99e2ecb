#include "platform/task.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/future.h"
#include "platform/run_loop.h"
#include "platform/task_launcher.h"
#include "support/counted.h"

namespace tolvane::testing {
namespace {

using Log = std::vector<std::string>;

Task<int> valueOf(Future<int> future, Log& log, Counted) {
  log.push_back("before await");
  const int value = co_await future;
  log.push_back("after await " + std::to_string(value));
  co_return value;
}

Task<std::string> describeValueOf(Future<int> future, Log& log, Counted guard) {
  log.push_back("outer start");
  const int value = co_await valueOf(std::move(future), log, guard);
  log.push_back("outer resumed");
  co_return "got " + std::to_string(value);
}

Task<> consume(Future<int> future, Log& log, Counted guard) {
  log.push_back("consumer start");
  co_await describeValueOf(std::move(future), log, guard);
  log.push_back("consumer end");
}

Task<Result<int>> doubled(Future<Result<int>> future) {
  Result<int> result = co_await future;
  if (!result) co_return result.error();
  co_return result.value() * 2;
}

Task<> nothingToWaitFor(Log& log, Counted) {
  log.push_back("ran to the end");
  co_return;
}

// Stores what an awaited task gives, so that a test can read it.
template <typename T>
Task<> store(Task<T> task, std::optional<T>& out) {
  out.emplace(co_await task);
}

class TaskTest : public ::testing::Test {
 protected:
  ManualClock clock;
  RunLoop loop{clock};
  Log log;
  int live = 0;
};

TEST_F(TaskTest, TaskRunsEagerlyUpToItsFirstAwait) {
  Completer<int> completer(loop);
  Task<int> task = valueOf(completer.future(), log, Counted(live));
  EXPECT_EQ(log, (Log{"before await"}));
  EXPECT_FALSE(task.done());
  EXPECT_EQ(live, 1) << "the frame holds its parameter";

  Task<> finished = nothingToWaitFor(log, Counted(live));
  EXPECT_TRUE(finished.done()) << "a body without a suspension finishes inside the call";
  EXPECT_EQ(log.back(), "ran to the end");
}

TEST_F(TaskTest, AwaitingAFutureResumesOnTheLoopInALaterJobNeverInsideComplete) {
  Completer<int> completer(loop);
  Task<int> task = valueOf(completer.future(), log, Counted(live));
  loop.post([&] { log.push_back("job posted before complete"); });

  completer.complete(7);
  EXPECT_EQ(log, (Log{"before await"})) << "complete() must not resume the waiter itself";
  completer.complete(8);  // a second completion is ignored
  loop.post([&] { log.push_back("job posted after complete"); });

  loop.runUntilIdle();
  EXPECT_EQ(log, (Log{"before await", "job posted before complete", "after await 7", "job posted after complete"}));
  EXPECT_TRUE(task.done());
}

TEST_F(TaskTest, AwaitingAFutureCompletedEarlierContinuesAtOnce) {
  Completer<int> completer(loop);
  completer.complete(5);
  Task<int> task = valueOf(completer.future(), log, Counted(live));
  EXPECT_EQ(log, (Log{"before await", "after await 5"}));
  EXPECT_TRUE(task.done());
}

TEST_F(TaskTest, TaskAwaitingATaskResumesDirectlyWhenItFinishes) {
  Completer<int> completer(loop);
  std::optional<std::string> result;
  {
    Task<> outer = store(describeValueOf(completer.future(), log, Counted(live)), result);
    EXPECT_EQ(log, (Log{"outer start", "before await"}));
    EXPECT_GT(live, 0) << "the frames hold their parameters";

    completer.complete(3);
    loop.post([&] { log.push_back("job posted after complete"); });
    loop.runUntilIdle();

    // The outer task resumes inside the inner one's resumption job, before later jobs.
    EXPECT_EQ(log, (Log{"outer start", "before await", "after await 3", "outer resumed", "job posted after complete"}));
    EXPECT_TRUE(outer.done());
    EXPECT_EQ(result, "got 3");
  }
  EXPECT_EQ(live, 0) << "every frame is gone with the last Task";
}

TEST_F(TaskTest, ResultValuesAndErrorsFlowThroughAwaits) {
  struct Row {
    const char* name;
    Result<int> completion;
    std::optional<int> expectedValue;
    std::optional<Error> expectedError;
  };
  const Row rows[] = {
      // A wrong moved-from value or a lost payload would show here.
      {"value", Result<int>{21}, 42, std::nullopt},
      // An error must arrive as itself, domain, code and text.
      {"error", Result<int>{notFoundError()}, std::nullopt, notFoundError()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Completer<Result<int>> completer(loop);
    std::optional<Result<int>> result;
    Task<> task = store(doubled(completer.future()), result);
    completer.complete(row.completion);
    loop.runUntilIdle();
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->ok(), row.expectedValue.has_value());
    if (row.expectedValue) {
      EXPECT_EQ(result->value(), *row.expectedValue);
    }
    if (row.expectedError) {
      EXPECT_EQ(result->error(), *row.expectedError);
    }
  }
}

TEST_F(TaskTest, LauncherStartsTheBodyOnTheLoopAndReleasesTheTaskWhenItFinishes) {
  TaskLauncher launcher(loop);
  Completer<int> completer(loop);
  int captures = 0;
  launcher.launch([&, capture = Counted(captures)] { return consume(completer.future(), log, Counted(live)); });
  EXPECT_TRUE(log.empty()) << "launch() only posts the start";
  EXPECT_EQ(launcher.running(), 0u);

  loop.runUntilIdle();
  EXPECT_EQ(log, (Log{"consumer start", "outer start", "before await"}));
  EXPECT_EQ(launcher.running(), 1u);
  EXPECT_GT(live, 0) << "the frames are alive";
  EXPECT_EQ(captures, 0) << "the body is released once it has run";

  completer.complete(1);
  loop.runUntilIdle();
  EXPECT_EQ(log.back(), "consumer end");
  EXPECT_EQ(launcher.running(), 0u);
  EXPECT_EQ(live, 0) << "a finished task is released, frames and all";
}

TEST_F(TaskTest, LauncherKeepsNothingOfATaskThatAlreadyFinished) {
  TaskLauncher launcher(loop);
  launcher.keep(nothingToWaitFor(log, Counted(live)));
  EXPECT_EQ(launcher.running(), 0u);
  EXPECT_EQ(live, 0);
}

TEST_F(TaskTest, DestroyingTheLauncherDestroysUnfinishedFramesWithoutLeaks) {
  Completer<int> first(loop);
  Completer<int> second(loop);
  {
    TaskLauncher launcher(loop);
    launcher.launch([&] { return consume(first.future(), log, Counted(live)); });
    launcher.launch([&] { return consume(second.future(), log, Counted(live)); });
    launcher.keep(nothingToWaitFor(log, Counted(live)));
    loop.runUntilIdle();
    ASSERT_EQ(launcher.running(), 2u);
    ASSERT_GT(live, 0);
  }
  EXPECT_EQ(live, 0) << "every frame of every unfinished task, nested ones included";

  const Log before = log;
  first.complete(1);
  second.complete(2);
  loop.runUntilIdle();
  EXPECT_EQ(log, before) << "nothing resumes a destroyed frame";
}

TEST_F(TaskTest, CompletingAFutureWhoseWaiterWasDestroyedIsHarmless) {
  struct Row {
    const char* name;
    bool completeBeforeDestroying;
  };
  const Row rows[] = {
      // The waiter's frame is gone before complete(): nothing may be posted that reaches it.
      {"destroyed, then completed", false},
      // complete() has already queued the resumption when the frame goes.
      {"completed, then destroyed before the loop runs", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    log.clear();
    Completer<int> completer(loop);
    std::optional<Task<int>> task = valueOf(completer.future(), log, Counted(live));
    if (row.completeBeforeDestroying) completer.complete(9);
    task.reset();
    EXPECT_EQ(live, 0);
    completer.complete(9);
    loop.runUntilIdle();
    EXPECT_EQ(log, (Log{"before await"}));
  }
}

}  // namespace
}  // namespace tolvane::testing
