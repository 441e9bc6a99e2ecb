// Input that a careless or hostile parent could write: absurd nesting, huge lines, a flood of
// commands, a play of a million ids. The helper drops or answers each as usual, stays alive, and
// gives back the memory that a huge line took.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/helper_process.h"
#include "support/hostile_support.h"

namespace tolvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Generous, since the sanitizer builds are several times slower; a healthy helper takes a fraction.
constexpr Millis heavyTimeout{300000};

std::string stopLine(const Json& id) { return Json{{"type", "stop"}, {"id", id}}.dump() + "\n"; }
Json stopAnswer(const Json& id) { return Json{{"type", "answer"}, {"id", id}}; }

std::string repeated(std::string_view piece, std::size_t times) {
  std::string text;
  text.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// ---- nesting and long lines ----

using HostileInputTest = HelperProcessTest;

TEST_F(HostileInputTest, DeepNestingIsDroppedWithoutHarm) {
  constexpr std::size_t depth = 100000;
  struct Row {
    const char* name;
    std::string id;  // the raw JSON text of the command's "id"
    bool answered;
  };
  const std::vector<Row> rows = {
      // A recursive parser, or a recursive destructor of the parsed tree, overflows the stack.
      {"arrays", repeated("[", depth) + repeated("]", depth), false},
      {"objects", repeated("{\"a\":", depth) + "0" + repeated("}", depth), false},
      {"arrays and objects", repeated("[{\"a\":", depth / 2) + "0" + repeated("}]", depth / 2), false},
      // Never closed: the depth is exceeded long before the text ends.
      {"unclosed arrays", repeated("[", depth), false},
      // 513 levels after a string full of closing brackets: a depth count that took them (or, with
      // an escaped quote, what follows them) for real ones would let this through to the parser.
      {"closing brackets inside a string",
       "[\"" + repeated("]", 1000) + "\"," + repeated("[", 511) + repeated("]", 511) + "]", false},
      {"closing brackets after an escaped quote",
       "[\"\\\"" + repeated("]", 1000) + "\"," + repeated("[", 511) + repeated("]", 511) + "]", false},
      // Brackets inside a string are text, not nesting: the command is valid and answered.
      {"brackets inside a string", "\"" + repeated("[{", depth) + "\"", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    helper.send("{\"type\":\"stop\",\"id\":" + row.id + "}\n");
    helper.send(stopLine("next"));
    if (row.answered) {
      EXPECT_EQ(helper.readMessage(heavyTimeout), stopAnswer(Json::parse(row.id)));
    }
    EXPECT_EQ(helper.readMessage(heavyTimeout), stopAnswer("next"));
  }
  EXPECT_TRUE(helper.running());
}

TEST_F(HostileInputTest, AnswerOfAMebibyteIsWholeThoughReadSlowly) {
  // A line far larger than the pipe leaves the helper piece by piece as a slow parent makes room.
  // A SIGTERM that arrives while the write waits for room cuts it short: the write returns the count
  // written so far, and the rest has to follow. The "quit" lines come after the whole answer.
  struct Row {
    const char* name;
    std::vector<std::size_t> signalAfter;  // a SIGTERM once this many bytes of the answer are read
  };
  const std::vector<Row> rows = {
      {"read slowly", {}},
      // A write that stops at an interrupted partial count, or starts over, tears the line.
      {"interrupted by signals", {16 << 10, 300 << 10, 600 << 10}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HelperProcess process;
    process.send(stopLine("ready"));
    ASSERT_EQ(process.readMessage(), stopAnswer("ready"));
    RawOutput output(process);

    const std::string id = patternText(1 << 20, 7);
    process.send(stopLine(id));
    process.send(stopLine("after"));
    // 4093-byte reads, 1 ms apart: about a quarter of a second per mebibyte.
    const auto deadline = Clock::now() + heavyTimeout;
    std::size_t signalled = 0;
    std::optional<std::string> line;
    while (!(line = output.takeLine())) {
      ASSERT_TRUE(output.readChunk(4093, deadline))
          << "no whole answer; " << output.pending().size() << " bytes of a torn line";
      if (signalled < row.signalAfter.size() && output.received() >= row.signalAfter[signalled]) {
        process.signal(SIGTERM);
        ++signalled;
      }
      std::this_thread::sleep_for(Millis(1));
    }
    ASSERT_EQ(signalled, row.signalAfter.size());
    ASSERT_EQ(line->size(), stopAnswer(id).dump().size()) << "answer of the wrong length";
    // Compared whole rather than printed: a failure message of a mebibyte helps nobody.
    EXPECT_TRUE(Json::parse(*line, nullptr, false) == stopAnswer(id)) << "the answer's id differs from the command's";
    // The next command may have reached the main loop before or after the termination requests.
    std::multiset<std::string> rest;
    for (std::size_t i = 0; i <= row.signalAfter.size(); ++i) {
      rest.insert(Json::parse(output.readLine(heavyTimeout).value_or(""), nullptr, false).dump());
    }
    std::multiset<std::string> expected = {stopAnswer("after").dump()};
    for (std::size_t i = 0; i < row.signalAfter.size(); ++i) expected.insert(R"({"type":"quit"})");
    EXPECT_EQ(rest, expected);
    EXPECT_EQ(output.readLine(Millis(200)), std::nullopt);
    EXPECT_EQ(output.pending(), "");
    process.closeInput();
    EXPECT_EQ(process.waitExit(), 0);
    EXPECT_EQ(process.stderrText(), "");
  }
}

// ---- sheer volume ----

using HostileLoadTest = HelperProcessTest;

TEST_F(HostileLoadTest, LineOf64MebibytesIsAnsweredAndItsMemoryReleased) {
  helper.send(stopLine("ready"));
  ASSERT_EQ(helper.readMessage(), stopAnswer("ready"));
  RawOutput output(helper);
  const auto before = memoryKiB(helper.pid());
  ASSERT_TRUE(before);

  // Letters only, so that the command and its answer need no escaping and are built and checked
  // without a JSON library going through 64 MiB.
  const std::string id = patternText(64u << 20, 64);
  const auto sent = Clock::now();
  helper.send("{\"type\":\"stop\",\"id\":\"" + id + "\"}\n");
  const auto line = output.readLine(heavyTimeout);
  RecordProperty("answerMs", std::to_string(std::chrono::duration_cast<Millis>(Clock::now() - sent).count()));
  ASSERT_TRUE(line) << "no whole answer; " << output.pending().size() << " bytes of a torn line";
  ASSERT_EQ(line->size(), stopAnswer(id).dump().size()) << "answer of the wrong length";
  // The id, whole and in one piece, and around it an answer to a stop.
  const std::string quotedId = "\"id\":\"" + id + "\"";
  const auto at = line->find(quotedId);
  ASSERT_NE(at, std::string::npos) << "the answer's id differs from the command's";
  EXPECT_EQ(Json::parse(std::string(*line).replace(at, quotedId.size(), "\"id\":\"x\""), nullptr, false),
            stopAnswer("x"));
  helper.send(stopLine("next"));
  EXPECT_EQ(Json::parse(output.readLine(heavyTimeout).value_or(""), nullptr, false), stopAnswer("next"));
  const auto peak = memoryKiB(helper.pid(), "VmHWM");
  ASSERT_TRUE(peak);
  RecordProperty("residentKiBBefore", std::to_string(*before));
  RecordProperty("peakKiB", std::to_string(*peak));

#ifndef TOLVANE_SANITIZED
  // The line, its decoded text, the command, the answer and its serialised text each held 64 MiB
  // or more. All of it goes back to the system once the answer is out: a moment later the helper
  // is about as small as before (about 4 MiB on this build).
  constexpr long marginKiB = 16 * 1024;
  std::optional<long> after;
  for (const auto until = Clock::now() + Millis(3000); Clock::now() < until;) {
    after = memoryKiB(helper.pid());
    if (after && *after < *before + marginKiB) break;
    std::this_thread::sleep_for(Millis(50));
  }
  ASSERT_TRUE(after);
  RecordProperty("residentKiBAfter", std::to_string(*after));
  EXPECT_LT(*after, *before + marginKiB) << "peak was " << *peak << " KiB, before " << *before << " KiB";
#endif
}

TEST_F(HostileLoadTest, MillionCommandsInABurstAreAllAnsweredInOrder) {
  // Commands that finish without waiting for the music service, so their answers come in input
  // order. Each kind answers differently, so a lost, doubled or mixed-up answer shows.
  struct Kind {
    const char* type;
    const char* error;  // empty: no "error"
  };
  static constexpr Kind kinds[] = {
      {"stop", ""}, {"pause", "nothingLoaded"}, {"seek", "nothingLoaded"}, {"frobnicate", "unknownCommand"}};
  constexpr int total = 1000000;
  constexpr int perPiece = 2000;

  helper.send(stopLine("ready"));
  ASSERT_EQ(helper.readMessage(), stopAnswer("ready"));
  RawOutput output(helper);

  int queued = 0;
  BackgroundSender sender(helper, [&queued]() -> std::optional<std::string> {
    if (queued == total) return std::nullopt;
    std::string piece;
    for (int end = queued + perPiece; queued < end; ++queued) {
      piece += "{\"type\":\"";
      piece += kinds[queued % 4].type;
      piece += "\",\"id\":" + std::to_string(queued) + "}\n";
    }
    return piece;
  });

  const auto started = Clock::now();
  for (int n = 0; n < total; ++n) {
    const auto line = output.readLine(heavyTimeout);
    ASSERT_TRUE(line) << "answer " << n << " missing";
    const Json answer = Json::parse(*line, nullptr, false);
    const Kind& kind = kinds[n % 4];
    Json expected = {{"type", "answer"}, {"id", n}};
    if (*kind.error) expected["error"] = kind.error;
    ASSERT_EQ(answer, expected) << "answer " << n << " of " << total;
  }
  sender.finish();
  RecordProperty("burstMs", std::to_string(std::chrono::duration_cast<Millis>(Clock::now() - started).count()));
  EXPECT_EQ(output.readLine(Millis(200)), std::nullopt);
  EXPECT_EQ(output.pending(), "");
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(), 0);
}

TEST_F(HostileLoadTest, PlayOfAMillionIdsIsAnswered) {
  constexpr std::size_t count = 1000000;
  const std::vector<std::string> catalog = {
      "1000000001", "1000000002", "1000000003", "1000000004", "1000000005", "1000000006", "1000000007", "1000000008",
      "1000000009", "1000000010", "1000000011", "1000000012", "1000000013", "1000000014", "1000000015", "1000000016"};
  struct Row {
    const char* name;
    std::vector<std::string> ids;
    std::int64_t start;
    int index;         // the expected "index" of the first state line; -1: the play fails
    const char* song;  // the song of that state line
  };
  std::vector<Row> rows;
  rows.push_back({"one known id a million times", std::vector<std::string>(count, "1000000001"), 0, 0, "1000000001"});
  {
    // The index is the first occurrence of the playing song, however far the start is.
    std::vector<std::string> cycling(count);
    for (std::size_t i = 0; i < count; ++i) cycling[i] = catalog[i % catalog.size()];
    rows.push_back({"the catalog over and over, from the last", std::move(cycling), count - 1, 15, "1000000016"});
  }
  rows.push_back({"a million unknown ids", std::vector<std::string>(count, "2000000000"), 0, -1, ""});

  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string id = "play-" + std::to_string(++n);
    helper.sendLine({{"type", "play"}, {"id", id}, {"ids", row.ids}, {"start", row.start}, {"token", n}});
    const auto answer = helper.readUntil(isAnswerTo(id), heavyTimeout);
    ASSERT_TRUE(answer) << "no answer";
    if (row.index < 0) {
      ASSERT_TRUE(answer->contains("error")) << answer->dump();
      EXPECT_NE(answer->value("error", "").find("notFound"), std::string::npos) << answer->dump();
    } else {
      EXPECT_FALSE(answer->contains("error")) << answer->dump();
      const Json state = helper.readMessage(heavyTimeout);
      EXPECT_TRUE(isState(state)) << state.dump();
      EXPECT_EQ(state.value("index", -1), row.index) << state.dump();
      EXPECT_EQ(songIdOf(state), row.song) << state.dump();
      EXPECT_EQ(state.value("token", -1), n) << state.dump();
    }
    // The helper is still responsive; the stop leaves nothing loaded for the next row.
    helper.sendLine({{"type", "stop"}, {"id", "stop-" + id}});
    ASSERT_TRUE(helper.readUntil(isAnswerTo("stop-" + id), heavyTimeout));
  }
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(), 0);
}

}  // namespace
}  // namespace tolvane::testing
