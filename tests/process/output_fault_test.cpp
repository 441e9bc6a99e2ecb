// The parent's side of standard output misbehaves: it closes its end while the helper still has
// things to say, or reads so slowly that the helper's writes keep blocking on a full pipe.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/helper_process.h"
#include "support/hostile_support.h"

namespace tolvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

Json stopAnswer(const Json& id) { return Json{{"type", "answer"}, {"id", id}}; }

// Starts a song of an hour and waits until it plays, so that the helper has output to come.
void startLongSong(HelperProcess& helper) {
  helper.sendLine({{"type", "play"}, {"id", "play"}, {"ids", {"1000000015"}}});
  ASSERT_TRUE(helper.readUntil(isAnswerTo("play")));
  ASSERT_TRUE(helper.readUntil(isState));
}

TEST(OutputFaultTest, ClosedOutputEndsTheHelperAtItsNextWrite) {
  struct Row {
    const char* name;
    // Brings the helper to the point where the close happens.
    std::function<void(HelperProcess&)> before;
    // Makes the helper write after the close (or leaves that to it).
    std::function<void(HelperProcess&)> after;
    Millis exitWithin;  // from the close
  };
  const Row rows[] = {
      // Ignoring the failed write, the helper would answer on into the void, and play on.
      {"the answer of the next command", startLongSong,
       [](HelperProcess& helper) {
         helper.sendLine({{"type", "pause"}, {"id", "after close"}});
       },
       Millis(2000)},
      // Nothing is sent: the next "state" line (on a change of the player, or the report timer's
      // tick within 5 s) is the write that fails.
      {"the next state report", startLongSong, [](HelperProcess&) {}, Millis(7000)},
      // The close comes while a write waits for room: the write ends early, the rest cannot follow.
      {"a write blocked on the full pipe",
       [](HelperProcess& helper) {
         helper.sendLine({{"type", "stop"}, {"id", patternText(1 << 20)}});
         std::this_thread::sleep_for(Millis(300));
         EXPECT_TRUE(helper.running());
       },
       [](HelperProcess&) {}, Millis(2000)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HelperProcess helper;
    helper.sendLine({{"type", "stop"}, {"id", "ready"}});
    ASSERT_EQ(helper.readMessage(), stopAnswer("ready"));
    row.before(helper);
    if (HasFatalFailure()) return;
    helper.closeOutput();
    const auto closed = Clock::now();
    row.after(helper);
    // Standard input stays open: only the failed write can end the process. Status 0, not death by
    // SIGPIPE (141).
    EXPECT_EQ(helper.waitExit(row.exitWithin), 0);
    RecordProperty(std::string("exitMs ") + row.name,
                   std::to_string(std::chrono::duration_cast<Millis>(Clock::now() - closed).count()));
    EXPECT_EQ(helper.stderrText(), "");
  }
}

TEST(OutputFaultTest, SlowParentLosesNoLineAndGetsNoTornLine) {
  // Answers of many sizes, up to well beyond the pipe's capacity, read in odd-sized chunks with a
  // pause after each: the helper's writes block again and again in the middle of a line.
  constexpr int commands = 120;
  const auto idOf = [](int n) {
    const std::size_t sizes[] = {1, 100, 4095, 4096, 4097, 65535, 65536, 65537, 100000, 150000};
    return std::to_string(n) + ":" + patternText(sizes[n % 10], static_cast<std::uint32_t>(n));
  };
  HelperProcess helper;
  helper.sendLine({{"type", "stop"}, {"id", "ready"}});
  ASSERT_EQ(helper.readMessage(), stopAnswer("ready"));
  RawOutput output(helper);

  int sent = 0;
  BackgroundSender sender(helper, [&]() -> std::optional<std::string> {
    if (sent == commands) return std::nullopt;
    return Json{{"type", "stop"}, {"id", idOf(sent++)}}.dump() + "\n";
  });
  const std::size_t chunks[] = {509, 4093, 4096, 4099, 16381};
  for (int n = 0; n < commands; ++n) {
    const auto line = output.readLine(Millis(60000), chunks[n % 5], Millis(1));
    ASSERT_TRUE(line) << "answer " << n << " missing; " << output.pending().size() << " bytes of a torn line";
    // Compared whole rather than printed: the ids run to 150 kB.
    ASSERT_TRUE(Json::parse(*line, nullptr, false) == stopAnswer(idOf(n)))
        << "answer " << n << " differs: " << line->size() << " bytes, starting " << line->substr(0, 40);
  }
  sender.finish();
  EXPECT_EQ(output.readLine(Millis(200)), std::nullopt);
  EXPECT_EQ(output.pending(), "");
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

}  // namespace
}  // namespace tolvane::testing
