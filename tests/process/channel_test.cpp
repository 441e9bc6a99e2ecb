// The message channel seen from the parent: how input lines are framed, decoded and dropped, what
// every output line looks like, and how the end of input ends the process.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/helper_process.h"

namespace tolvane::testing {
namespace {

constexpr Millis atOnce{1500};

// A command whose answer comes at once, is the only line it produces while nothing is loaded, and
// therefore marks a place in the output.
std::string markerLine(const Json& id) { return Json{{"type", "stop"}, {"id", id}}.dump() + "\n"; }
Json markerAnswer(const Json& id) { return Json{{"type", "answer"}, {"id", id}}; }

// Fails unless `line` is one compact JSON object as the helper writes it: no whitespace between
// tokens, no raw control character, every "/" written as "\/", and characters outside ASCII as
// UTF-8 bytes rather than \u escapes.
void expectCompactObject(const std::string& line) {
  SCOPED_TRACE(line);
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.front(), '{');
  EXPECT_EQ(line.back(), '}');
  const Json parsed = Json::parse(line, nullptr, false);
  ASSERT_FALSE(parsed.is_discarded());
  EXPECT_TRUE(parsed.is_object());
  bool inString = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (!inString) {
      EXPECT_FALSE(c == ' ' || c == '\t' || c == '\r' || c == '\n') << "whitespace at byte " << i;
      if (c == '"') inString = true;
      continue;
    }
    EXPECT_GE(c, 0x20) << "raw control character at byte " << i;
    if (c == '"') {
      inString = false;
    } else if (c == '/') {
      ADD_FAILURE() << "unescaped '/' at byte " << i;
    } else if (c == '\\') {
      ASSERT_LT(i + 1, line.size());
      if (line[i + 1] == 'u') {
        // Only control characters may be written as \u escapes.
        const std::string code = line.substr(i + 2, 4);
        EXPECT_LT(std::stoi(code, nullptr, 16), 0x20) << "\\u escape of a printable character at byte " << i;
      }
      ++i;  // the escaped character, "/" included
    }
  }
}

// ---- framing ----

using ChannelTest = HelperProcessTest;

TEST_F(ChannelTest, LinesEndedByLfAndCrLfAreAnsweredAlike) {
  helper.send("{\"type\":\"stop\",\"id\":\"lf\"}\n");
  helper.send("{\"type\":\"stop\",\"id\":\"crlf\"}\r\n");
  // A CR LF split across two writes is still one terminator.
  helper.send("{\"type\":\"stop\",\"id\":\"split\"}\r");
  helper.send("\n");
  helper.send("  {\"type\":\"stop\",\"id\":\"padded\"}\t \r\n");
  for (const char* id : {"lf", "crlf", "split", "padded"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(helper.readMessage(), markerAnswer(id));
  }
}

TEST_F(ChannelTest, LastLineWithoutTerminatorIsAnsweredThenExitsWithZero) {
  helper.send(markerLine("first"));
  helper.send("{\"type\":\"stop\",\"id\":\"last\"}");
  helper.closeInput();
  EXPECT_EQ(helper.readMessage(), markerAnswer("first"));
  EXPECT_EQ(helper.readMessage(), markerAnswer("last"));
  EXPECT_EQ(helper.waitExit(atOnce), 0);
  EXPECT_EQ(helper.readLine(Millis(200)), std::nullopt);
}

TEST_F(ChannelTest, LinesThatAreNotOneObjectProduceNoOutput) {
  using namespace std::string_literals;
  struct Row {
    const char* name;
    std::string bytes;  // everything sent before the marker, terminators included
  };
  const std::string deep = std::string(512, '[') + std::string(512, ']');
  const std::vector<Row> rows = {
      // A dropped line must not even produce an error answer.
      {"empty line", "\n"},
      {"empty line ended by CR LF", "\r\n"},
      {"spaces", "    \n"},
      // The top level has to be an object; anything else that parses is dropped too.
      {"array", "[{\"type\":\"stop\",\"id\":\"array\"}]\n"},
      {"number", "42\n"},
      {"string", "\"stop\"\n"},
      {"true", "true\n"},
      {"false", "false\n"},
      {"null", "null\n"},
      // Content after the object spoils the whole line, not just the rest of it.
      {"two objects on a line", "{\"type\":\"stop\",\"id\":\"one\"}{\"type\":\"stop\",\"id\":\"two\"}\n"},
      // A NUL byte does not end the line early: what follows it still counts.
      {"object then NUL and garbage", "{\"type\":\"stop\",\"id\":\"nul\"}\0garbage\n"s},
      // No continuation: each half is a line of its own, and both are invalid.
      {"object split over two lines", "{\"type\":\"stop\",\n\"id\":\"split\"}\n"},
      // Nesting deeper than 512 levels is a parse failure (object + 512 arrays = 513 levels).
      {"nesting deeper than 512 levels", "{\"type\":\"stop\",\"id\":" + deep + "}\n"},
  };
  int marker = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    helper.send(row.bytes);
    helper.send(markerLine(++marker));
    // Lines are handled in input order: any output of the dropped line would come first.
    EXPECT_EQ(helper.readMessage(), markerAnswer(marker));
  }
  EXPECT_TRUE(helper.running());
}

TEST_F(ChannelTest, NestingOfExactly512LevelsIsAccepted) {
  const Json deep = Json::parse(std::string(511, '[') + std::string(511, ']'));
  helper.sendLine({{"type", "stop"}, {"id", deep}});
  EXPECT_EQ(helper.readMessage(), markerAnswer(deep));
}

TEST_F(ChannelTest, IllFormedUtf8InAStringArrivesAsReplacementCharacters) {
  // Each maximal ill-formed subpart becomes one U+FFFD: a byte that never starts a sequence, a
  // sequence cut short, an overlong form (two), an encoded surrogate (three). Valid multi-byte
  // characters around them stay as they are.
  helper.send(
      "{\"type\":\"stop\",\"id\":\"a\xFF"
      "b\xE2\x82"
      "c\xC0\xAF"
      "d\xED\xA0\x80"
      "e\xC3\xA9\"}\n");
  const std::string fffd = "\xEF\xBF\xBD";
  const std::string expectedId = "a" + fffd + "b" + fffd + "c" + fffd + fffd + "d" + fffd + fffd + fffd + "e\xC3\xA9";
  const auto line = helper.readLine();
  ASSERT_TRUE(line);
  EXPECT_EQ(Json::parse(*line, nullptr, false), markerAnswer(expectedId));
  // Written back as UTF-8 bytes, not as \u escapes.
  EXPECT_NE(line->find("\"id\":\"" + expectedId + "\""), std::string::npos) << *line;
}

TEST_F(ChannelTest, AnswerEchoesTheIdOfEveryJsonType) {
  struct Row {
    const char* name;
    const char* id;  // as written in the command
  };
  const Row rows[] = {
      // An echo that assumed a string or an integer id would mangle the others.
      {"string", R"("abc")"},
      {"empty string", R"("")"},
      {"integer", "42"},
      {"negative integer", "-7"},
      {"zero", "0"},
      {"float", "2.5"},
      {"true", "true"},
      {"false", "false"},
      // null is still an id: the answer carries "id": null, not no "id".
      {"null", "null"},
      {"object", R"({"a":[1,"b"],"c":{"d":null}})"},
      {"empty object", "{}"},
      {"array", R"([1,"two",null,false])"},
      {"empty array", "[]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    helper.send(std::string("{\"type\":\"stop\",\"id\":") + row.id + "}\n");
    EXPECT_EQ(helper.readMessage(), markerAnswer(Json::parse(row.id)));
  }
  // Without an "id" member the answer has none.
  helper.send("{\"type\":\"stop\"}\n");
  EXPECT_EQ(helper.readMessage(), Json({{"type", "answer"}}));
}

// ---- output lines ----

TEST_F(ChannelTest, EveryOutputLineIsOneCompactObject) {
  // Songs whose texts need escaping (a slash, quotes, a backslash) or are not ASCII.
  helper.send(R"({"type":"play","id":"a/b","ids":["1000000004","1000000005","1000000006","1000000016"],"token":"x/y"})"
              "\n");
  std::vector<std::string> lines;
  // Reads raw lines up to the first one that satisfies `pred`, keeping every line read.
  const auto readUntil = [&](auto pred) -> std::optional<Json> {
    for (;;) {
      auto line = helper.readLine();
      if (!line) return std::nullopt;
      lines.push_back(*line);
      Json message = Json::parse(*line, nullptr, false);
      if (pred(message)) return message;
    }
  };
  const auto stateAt = [](int index) {
    return [index](const Json& m) { return isState(m) && m.value("index", -1) == index; };
  };
  ASSERT_TRUE(readUntil(isAnswerTo("a/b")));
  ASSERT_TRUE(readUntil(stateAt(0)));
  for (int index = 1; index <= 3; ++index) {
    helper.sendLine({{"type", "next"}, {"id", index}});
    ASSERT_TRUE(readUntil(stateAt(index))) << "no state for index " << index;
  }
  helper.sendLine({{"type", "check"}, {"id", "c"}});
  ASSERT_TRUE(readUntil(isAnswerTo("c")));
  helper.sendLine({{"type", "stop"}, {"id", "end"}});
  ASSERT_TRUE(readUntil(isAnswerTo("end")));
  helper.closeInput();
  for (auto more = helper.readLine(atOnce); more; more = helper.readLine(atOnce)) lines.push_back(*more);
  EXPECT_EQ(helper.waitExit(atOnce), 0);
  // Nothing after the last LF: no torn line, no trailing bytes.
  EXPECT_EQ(helper.pendingOutput(), "");

  for (const std::string& line : lines) expectCompactObject(line);

  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  const std::vector<std::string> fragments = {
      R"("id":"a\/b")",
      R"("token":"x\/y")",
      R"("artwork":"https:\/\/artwork.example\/1000000004\/600x600bb.jpg")",
      R"("link":"https:\/\/music.example\/us\/song\/1000000004")",
      "\"title\":\"Caf\xC3\xA9 \xC3\x98rsted\"",
      "\"artist\":\"L\xC3\xAD"
      "a Monta\xC3\xB1o\"",
      R"("title":"Night\/Day")",
      R"("album":"Either\/Or")",
      R"("title":"She Said \"Later\"")",
      R"("title":"Back\\Slash")",
  };
  for (const std::string& fragment : fragments) {
    EXPECT_NE(all.find(fragment), std::string::npos) << "missing " << fragment;
  }
}

// ---- end of input ----

TEST_F(ChannelTest, EmptyInputExitsAtOnceWithZero) {
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(atOnce), 0);
  EXPECT_EQ(helper.readLine(Millis(200)), std::nullopt);
  EXPECT_EQ(helper.pendingOutput(), "");
}

TEST_F(ChannelTest, EndOfInputAbandonsAPlayThatWaitsForTheCatalog) {
  helper.sendLine({{"type", "play"}, {"id", "play"}, {"ids", {"1000000001"}}});
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(atOnce), 0);
  // The play's answer and its state lines never appear.
  EXPECT_EQ(helper.readLine(Millis(200)), std::nullopt);
  EXPECT_EQ(helper.pendingOutput(), "");
}

TEST_F(ChannelTest, CommandWrittenRightBeforeEndOfInputIsAnswered) {
  // The play waits for the catalog and is abandoned; the stop behind it does not wait.
  helper.sendLine({{"type", "play"}, {"id", "play"}, {"ids", {"1000000001"}}});
  helper.sendLine({{"type", "stop"}, {"id", "stop"}});
  helper.closeInput();
  EXPECT_EQ(helper.readMessage(), markerAnswer("stop"));
  EXPECT_EQ(helper.waitExit(atOnce), 0);
  EXPECT_EQ(helper.readLine(Millis(200)), std::nullopt);
}

}  // namespace
}  // namespace tolvane::testing
