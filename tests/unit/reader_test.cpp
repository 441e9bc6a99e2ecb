#include "music/reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/message_view.h"

namespace tolvane::testing {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

// Feeds `chunks` in turn, then ends the stream; returns every line delivered.
Lines split(const std::vector<std::string>& chunks) {
  LineSplitter splitter;
  Lines lines;
  const LineSplitter::LineHandler onLine = [&lines](std::string_view line) { lines.emplace_back(line); };
  for (const auto& chunk : chunks) splitter.feed(chunk, onLine);
  splitter.finish(onLine);
  return lines;
}

TEST(LineSplitterTest, SplitsAtLineFeedsAndRemovesTheTerminator) {
  struct Row {
    const char* name;
    std::string input;
    Lines expected;
  };
  const Row rows[] = {
      {"LF", "a\nb\n", {"a", "b"}},
      {"CR LF", "a\r\nb\r\n", {"a", "b"}},
      {"mixed terminators", "a\r\nb\nc\r\n", {"a", "b", "c"}},
      // The end of the stream ends the last line; a final terminator adds no empty line.
      {"last line without terminator", "a\nb", {"a", "b"}},
      {"only an unterminated line", "{}", {"{}"}},
      {"nothing", "", {}},
      // Empty lines are lines: the caller decides to drop them.
      {"empty lines", "\n\r\n\n", {"", "", ""}},
      {"empty line between", "a\n\nb\n", {"a", "", "b"}},
      // Only CR followed by LF is a terminator; other CRs are content.
      {"CR inside a line", "a\rb\n", {"a\rb"}},
      {"CR CR LF loses one CR", "a\r\r\n", {"a\r"}},
      {"CR at the very end", "a\r", {"a\r"}},
      {"lone CR", "\r", {"\r"}},
      // Bytes are bytes: a NUL does not end a line.
      {"NUL inside", "a\0b\n"s, {"a\0b"s}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(split({row.input}), row.expected);
  }
}

TEST(LineSplitterTest, LinesSplitAcrossChunksAtEveryPositionComeOutWhole) {
  const std::string input = "{\"a\":1}\r\n\nx\ry\r\n\r\nlast";
  const Lines expected{"{\"a\":1}", "", "x\ry", "", "last"};
  ASSERT_EQ(split({input}), expected);

  // Every way of cutting the input into three chunks, empty chunks included; among them every cut
  // between a CR and its LF.
  for (std::size_t first = 0; first <= input.size(); ++first) {
    for (std::size_t second = first; second <= input.size(); ++second) {
      SCOPED_TRACE("cuts at " + std::to_string(first) + " and " + std::to_string(second));
      EXPECT_EQ(split({input.substr(0, first), input.substr(first, second - first), input.substr(second)}), expected);
    }
  }

  std::vector<std::string> bytes;
  for (char c : input) bytes.emplace_back(1, c);
  EXPECT_EQ(split(bytes), expected);
}

TEST(LineSplitterTest, DeliversNothingBeforeTheTerminatorArrives) {
  LineSplitter splitter;
  Lines lines;
  const LineSplitter::LineHandler onLine = [&lines](std::string_view line) { lines.emplace_back(line); };
  splitter.feed("{\"type\":", onLine);
  splitter.feed("\"check\"}\r", onLine);
  EXPECT_TRUE(lines.empty());
  splitter.feed("\n{", onLine);
  EXPECT_EQ(lines, (Lines{"{\"type\":\"check\"}"}));
  splitter.finish(onLine);
  EXPECT_EQ(lines, (Lines{"{\"type\":\"check\"}", "{"}));
  splitter.finish(onLine);
  EXPECT_EQ(lines.size(), 2u) << "a second finish delivers nothing more";
}

TEST(LineSplitterTest, LongLineAcrossManyChunksThenShortLines) {
  const std::string longLine(3 * 1024 * 1024, 'x');
  std::vector<std::string> chunks;
  for (std::size_t at = 0; at < longLine.size(); at += 64 * 1024) chunks.push_back(longLine.substr(at, 64 * 1024));
  chunks.push_back("\nshort\nend");
  const Lines lines = split(chunks);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], longLine);
  EXPECT_EQ(lines[1], "short");
  EXPECT_EQ(lines[2], "end");
}

TEST(DecodeCommandTest, InvalidUtf8InsideAStringArrivesAsReplacementCharacters) {
  struct Row {
    const char* name;
    std::string line;
    std::string expected;
  };
  const Row rows[] = {
      {"lone FF",
       "{\"type\":\"play\",\"t\":\"a\xFF"
       "b\"}",
       "a\uFFFDb"},
      {"truncated sequence before the quote", "{\"type\":\"play\",\"t\":\"\xE2\x82\"}", "\uFFFD"},
      // Each maximal subpart becomes one replacement character.
      {"encoded surrogate", "{\"type\":\"play\",\"t\":\"\xED\xA0\x80\"}", "\uFFFD\uFFFD\uFFFD"},
      {"valid text untouched", "{\"type\":\"play\",\"t\":\"Caf\u00e9 \U0001F305\"}", "Caf\u00e9 \U0001F305"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto command = seen(decodeCommand(row.line));
    ASSERT_TRUE(command.has_value());
    EXPECT_EQ((*command)["type"], "play");
    EXPECT_EQ((*command)["t"], row.expected);
  }

  const auto inKey = seen(decodeCommand("{\"\xB9\":\"0\"}"));
  ASSERT_TRUE(inKey.has_value());
  EXPECT_TRUE(inKey->contains("\uFFFD"));
}

TEST(DecodeCommandTest, LineThatIsNotOneObjectIsDropped) {
  struct Row {
    const char* name;
    std::string line;
  };
  const Row rows[] = {
      {"empty", ""},
      {"spaces", "   "},
      {"array", R"([{"type":"check"}])"},
      {"number", "7"},
      {"string", R"("check")"},
      {"null", "null"},
      {"two objects", R"({"type":"check"}{"type":"check"})"},
      // Invalid bytes outside a string become U+FFFD, which is not JSON.
      {"invalid byte before the object", "\xFF{\"type\":\"check\"}"},
      {"invalid byte after the object", "{\"type\":\"check\"}\xE9"},
      {"truncated BOM", "\xEF\xBB{}"},
      {"half an object", R"({"type":)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(decodeCommand(row.line), std::nullopt);
  }
}

// Writes all of `bytes` to `fd`.
void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    ASSERT_GT(n, 0);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Commands go over in batches, so the main loop is woken once per batch, not once per line: every
// command in input order, dropped lines leaving no gap, no empty batch and no batch beyond a few
// hundred commands, and an unterminated last line still counted.
TEST(ReadCommandsTest, HandsOverEveryCommandInOrderInBoundedBatches) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  constexpr int commands = 5000;
  std::string input;
  for (int i = 0; i < commands; ++i) {
    input += R"({"type":"x","id":)" + std::to_string(i) + "}";
    input += i + 1 < commands ? "\n" : "";
    if (i % 7 == 3) input += "not a command\n";
  }
  std::thread writer([&] {
    writeAll(fds[1], input);
    ::close(fds[1]);
  });
  std::vector<std::size_t> sizes;
  std::vector<std::int64_t> ids;
  readCommands(fds[0], [&](Commands batch) {
    sizes.push_back(batch.size());
    for (const tolvane::Json& command : batch) ids.push_back(seen(command).value("id", std::int64_t{-1}));
  });
  writer.join();
  ::close(fds[0]);

  ASSERT_EQ(ids.size(), static_cast<std::size_t>(commands));
  for (int i = 0; i < commands; ++i) ASSERT_EQ(ids[i], i);
  for (std::size_t size : sizes) {
    EXPECT_GT(size, 0u);
    EXPECT_LE(size, 256u);
  }
}

// A batch goes over as soon as the block that holds it is read: the reader never waits for more
// input to fill a batch.
TEST(ReadCommandsTest, HandsOverWhatHasArrivedWithoutWaitingForMore) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  writeAll(fds[1], "{\"id\":1}\n{\"id\":2}\n{\"id\":3}\n");
  std::promise<std::size_t> firstBatch;
  std::size_t batches = 0;
  std::thread reader([&] {
    readCommands(fds[0], [&](Commands batch) {
      if (batches++ == 0) firstBatch.set_value(batch.size());
    });
  });
  auto first = firstBatch.get_future();
  const bool arrived = first.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  ::close(fds[1]);  // ends the reader either way
  reader.join();
  ::close(fds[0]);
  ASSERT_TRUE(arrived) << "the commands waited for more input";
  EXPECT_EQ(first.get(), 3u);
}

}  // namespace
}  // namespace tolvane::testing
