#include "platform/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "support/message_view.h"

namespace tolvane::testing {
namespace {

using namespace std::string_literals;

// An object line whose arrays and objects nest `depth` levels deep, the outer object included.
std::string nestedArrays(std::size_t depth) {
  return "{\"a\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
}

std::string nestedObjects(std::size_t depth) {
  std::string text;
  for (std::size_t i = 1; i < depth; ++i) text += "{\"a\":";
  return text + "{}" + std::string(depth - 1, '}');
}

TEST(ParseObjectLineTest, AcceptsOnlyOneObjectWithWhitespaceAround) {
  struct Row {
    const char* name;
    std::string text;
    bool accepted;
  };
  const Row rows[] = {
      {"empty object", "{}", true},
      {"object with members", R"({"type":"play","ids":["1"],"start":1,"x":null})", true},
      // JSON whitespace around the object is allowed, a CR included (a lone CR stays in a line).
      {"whitespace around", " \t{} \t", true},
      {"trailing CR", "{}\r", true},
      // A byte order mark is skipped at the very start of a line, and only there: U+FEFF is not
      // JSON whitespace.
      {"byte order mark first", "\xEF\xBB\xBF{}", true},
      {"byte order mark after a space", " \xEF\xBB\xBF{}", false},
      {"byte order mark after the object", "{}\xEF\xBB\xBF", false},
      // A top-level value that is not an object is not a command.
      {"array", "[]", false},
      {"array holding an object", R"([{"type":"play"}])", false},
      {"number", "1", false},
      {"string", R"("play")", false},
      {"true", "true", false},
      {"false", "false", false},
      {"null", "null", false},
      {"empty line", "", false},
      {"spaces only", "   ", false},
      // Trailing content makes the whole line invalid; a parser that stops after one value fails.
      {"two objects", "{}{}", false},
      {"two objects with a space", R"({"a":1} {"b":2})", false},
      {"garbage after the object", "{}x", false},
      {"number after the object", "{} 1", false},
      // A parser that takes NUL for the end of the input would accept these.
      {"NUL after the object", "{}\0"s, false},
      {"second object after a NUL", "{\"a\":1}\0{\"b\":2}"s, false},
      {"raw NUL in a string", "{\"a\":\"x\0y\"}"s, false},
      // No extensions: comments, trailing commas, NaN, single quotes.
      {"comment after", "{} // note", false},
      {"comment before", "/* note */{}", false},
      {"trailing comma", R"({"id":0,})", false},
      {"NaN literal", R"({"a":NaN})", false},
      {"single quotes", "{'a':1}", false},
      // Form feed and vertical tab are not JSON whitespace.
      {"form feed before", "\f{}", false},
      {"unclosed object", R"({"a":1)", false},
      {"unclosed string", R"({"a":"b})", false},
      {"raw line feed in a string", "{\"a\":\"x\ny\"}", false},
      // Numbers out of a double's range fail rather than turning into infinity.
      {"1e400", R"({"n":1e400})", false},
      {"-1e400", R"({"n":-1e400})", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(parseObjectLine(row.text).has_value(), row.accepted);
  }
}

TEST(ParseObjectLineTest, KeepsTheValuesAsWritten) {
  const auto command = seen(parseObjectLine(R"( {"type":"play","id":7,"ids":["A","B"],"s":"\u00e9\/x","f":1.5} )"));
  ASSERT_TRUE(command.has_value());
  EXPECT_EQ((*command)["type"], "play");
  EXPECT_EQ((*command)["id"], 7);
  EXPECT_EQ((*command)["ids"], Json::array({"A", "B"}));
  EXPECT_EQ((*command)["s"], "\u00e9/x");
  EXPECT_EQ((*command)["f"], 1.5);
}

TEST(ParseObjectLineTest, AcceptsBigIntegers) {
  struct Row {
    const char* name;
    std::string text;
    double approximately;
  };
  const Row rows[] = {
      {"largest unsigned 64-bit", R"({"n":18446744073709551615})", 18446744073709551615.0},
      {"smallest signed 64-bit", R"({"n":-9223372036854775808})", -9223372036854775808.0},
      // Beyond 64 bits, yet well inside a double's range: a number, not a failure.
      {"30 digits", R"({"n":123456789012345678901234567890})", 1.2345678901234568e29},
      {"negative 30 digits", R"({"n":-123456789012345678901234567890})", -1.2345678901234568e29},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto parsed = seen(parseObjectLine(row.text));
    ASSERT_TRUE(parsed.has_value());
    ASSERT_TRUE((*parsed)["n"].is_number());
    EXPECT_DOUBLE_EQ((*parsed)["n"].get<double>(), row.approximately);
  }
  EXPECT_EQ((*seen(parseObjectLine(R"({"n":18446744073709551615})")))["n"].get<std::uint64_t>(),
            std::numeric_limits<std::uint64_t>::max());
}

// Numbers go through as the same number: read exactly (the nearest double, where a library's quick
// reading may be a unit off in the last place), written in the shortest form that reads back as
// that double, an integer of 64 bits staying an integer.
TEST(ParseObjectLineTest, NumbersReadExactlyAndWriteBackTheSame) {
  struct Row {
    const char* text;
    const char* written;
  };
  const Row rows[] = {
      {"1.0", "1.0"},
      {"1E2", "100.0"},
      {"-0", "0"},
      {"-0.0", "-0.0"},
      {"0.1", "0.1"},
      {"0.30000000000000004", "0.30000000000000004"},
      {"123456789012345.0", "123456789012345.0"},
      {"1e15", "1e+15"},
      {"1.5e-05", "1.5e-05"},
      {"0.0001", "0.0001"},
      {"9007199254740993", "9007199254740993"},
      {"-9223372036854775809", "-9.223372036854776e+18"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      // Hard cases for a quick reader: the extremes, the smallest subnormal, a halfway case that
      // rounds to even, digits beyond what a double holds.
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"2.2250738585072011e-308", "2.225073858507201e-308"},
      {"5e-324", "5e-324"},
      {"1e-400", "0.0"},
      {"1.00000000000000011102230246251565404236316680908203125", "1.0"},
      {"1.00000000000000011102230246251565404236316680908203126", "1.0000000000000002"},
      {"9007199254740993.0", "9.007199254740992e+15"},
      {"0.1000000000000000055511151231257827021181583404541015625", "0.1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const auto parsed = parseObjectLine(std::string(R"({"n":)") + row.text + "}");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(serializeMessage(*parsed), std::string(R"({"n":)") + row.written + "}");
    if (std::string_view(row.written).find_first_of(".e") != std::string_view::npos) {
      EXPECT_EQ(parsed->get_object().at("n").as_double(), std::strtod(row.text, nullptr)) << "not the nearest double";
    }
  }
}

TEST(ParseObjectLineTest, NestingUpTo512LevelsIsAccepted) {
  struct Row {
    const char* name;
    std::string text;
    bool accepted;
  };
  const Row rows[] = {
      {"arrays, 512 levels", nestedArrays(512), true},
      {"arrays, 513 levels", nestedArrays(513), false},
      {"objects, 512 levels", nestedObjects(512), true},
      {"objects, 513 levels", nestedObjects(513), false},
      // Brackets inside strings are text, not nesting.
      {"600 brackets in a string", R"({"s":")" + std::string(600, '[') + R"("})", true},
      {"512 levels with brackets in a string inside",
       "{\"a\":" + std::string(510, '[') + R"(["[{[{"])" + std::string(510, ']') + "}", true},
      // An escaped quote does not end the string: what follows is still inside it.
      {"brackets after an escaped quote", R"({"s":"\")" + std::string(600, '{') + R"("})", true},
      // Closing brackets inside a string must not lower the count either.
      {"closing brackets in a string, then 513 levels",
       R"({"s":")" + std::string(600, ']') + R"(","a":)" + std::string(512, '[') + std::string(512, ']') + "}", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(parseObjectLine(row.text).has_value(), row.accepted);
  }
}

TEST(ParseObjectLineTest, RejectsHundredThousandLevelsWithoutCrashing) {
  constexpr std::size_t levels = 100000;
  struct Row {
    const char* name;
    std::string text;
  };
  const Row rows[] = {
      {"opening arrays only", std::string(levels, '[')},
      {"balanced arrays in an object", nestedArrays(levels)},
      {"balanced objects", nestedObjects(levels)},
      {"opening objects only",
       [] {
         std::string text;
         for (std::size_t i = 0; i < levels; ++i) text += "{\"a\":";
         return text;
       }()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_FALSE(parseObjectLine(row.text).has_value());
  }
}

TEST(ParseObjectLineTest, UnpairedSurrogateEscapesBecomeTheReplacementCharacter) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Row {
    const char* name;
    std::string text;
    std::optional<std::string> value;  // of "s"; nullopt when the line is to be dropped
  };
  const Row rows[] = {
      {"a pair stays a pair", R"({"s":"\ud83d\ude00"})", "\xF0\x9F\x98\x80"},
      {"a pair in upper case", R"({"s":"\uD83D\uDE00"})", "\xF0\x9F\x98\x80"},
      {"a high one alone", R"({"s":"\ud800"})", fffd},
      {"a low one alone", R"({"s":"x\udfffy"})", "x" + fffd + "y"},
      {"a high one before a letter escape", R"({"s":"\ud800\u0041"})", fffd + "A"},
      {"two high ones, the second paired", R"({"s":"\ud800\ud800\udc00"})", fffd + "\xF0\x90\x80\x80"},
      {"a high one at the end of the string", R"({"s":"a\udbff"})", "a" + fffd},
      {"after an escaped backslash it is text", R"({"s":"\\ud800"})", "\\ud800"},
      {"escaped quote before it", R"({"s":"\"\ud800"})", "\"" + fffd},
      {"a broken escape still fails", R"({"s":"\ud80"})", std::nullopt},
      {"outside a string it still fails", R"({"s":1}\ud800)", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto parsed = seen(parseObjectLine(row.text));
    if (!row.value) {
      EXPECT_EQ(parsed, std::nullopt);
      continue;
    }
    ASSERT_TRUE(parsed);
    EXPECT_EQ((*parsed)["s"], *row.value);
  }
  // In a key, and deep inside arrays, as well.
  const auto key = seen(parseObjectLine(R"({"x":{"\ud83d":[0,"\udc00"]}})"));
  ASSERT_TRUE(key);
  EXPECT_EQ((*key)["x"][fffd][1], fffd);
}

TEST(SerializeMessageTest, WritesCompactJsonWithEscapedSlashesAndRawUtf8) {
  struct Row {
    const char* name;
    Json message;
    std::string expected;
  };
  const Row rows[] = {
      {"empty object", Json::object(), "{}"},
      // No whitespace between tokens, at any depth.
      {"nested values",
       Json::object({{"a", Json::array({1, true, false, nullptr, "x", Json::object(), Json::array()})}}),
       R"({"a":[1,true,false,null,"x",{},[]]})"},
      // A forward slash is written escaped, in values and in keys.
      {"slash in a value", Json::object({{"url", "https://music.example/us/song/1"}}),
       R"({"url":"https:\/\/music.example\/us\/song\/1"})"},
      {"slash in a key", Json::object({{"a/b", 1}}), R"({"a\/b":1})"},
      // A backslash before a slash: both escaped, each on its own.
      {"backslash then slash", Json::object({{"t", "\\/"}}), R"({"t":"\\\/"})"},
      {"quotes and backslash", Json::object({{"t", "She Said \"Later\" Back\\Slash"}}),
       R"({"t":"She Said \"Later\" Back\\Slash"})"},
      // Outside ASCII: the UTF-8 bytes themselves, not \u escapes.
      {"non-ASCII", Json::object({{"t", "Caf\u00e9 \u00d8rsted \u671d \U0001F305"}}),
       "{\"t\":\"Caf\u00e9 \u00d8rsted \u671d \U0001F305\"}"},
      {"line feed escaped", Json::object({{"t", "a\nb"}}), R"({"t":"a\nb"})"},
      {"integers", Json::object({{"n", Json::array({0, -12, 18446744073709551615ull})}}),
       R"({"n":[0,-12,18446744073709551615]})"},
      {"fraction", Json::object({{"x", 0.5}}), R"({"x":0.5})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto text = serializeMessage(made(row.message));
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, row.expected);
    EXPECT_EQ(seen(parseObjectLine(*text)), row.message) << "what is written reads back as the same message";
  }
}

TEST(SerializeMessageTest, MessageWithSeveralMembersHasNoWhitespace) {
  const Json message = Json::object({{"type", "state"},
                                     {"positionMs", 1200},
                                     {"song", Json::object({{"title", "Night/Day"}, {"artist", "The Slashes"}})}});
  const auto text = serializeMessage(made(message));
  ASSERT_TRUE(text.has_value());
  std::string outsideStrings;
  bool inString = false;
  for (std::size_t i = 0; i < text->size(); ++i) {
    const char c = (*text)[i];
    if (inString && c == '\\') {
      ++i;
    } else if (c == '"') {
      inString = !inString;
    } else if (!inString) {
      outsideStrings += c;
    }
  }
  EXPECT_EQ(outsideStrings.find_first_of(" \t\r\n"), std::string::npos) << *text;
  EXPECT_EQ(seen(parseObjectLine(*text)), message);
}

TEST(SerializeMessageTest, EscapesEveryControlCharacter) {
  std::string controls;
  for (char c = 0; c < 0x20; ++c) controls += c;
  controls += "\x7f";
  const Json message = Json::object({{"t", controls}, {controls, 1}});
  const auto text = serializeMessage(made(message));
  ASSERT_TRUE(text.has_value());
  for (unsigned char c : *text) EXPECT_GE(c, 0x20) << "raw control character " << int(c) << " in " << *text;
  EXPECT_EQ(seen(parseObjectLine(*text)), message);
}

TEST(SerializeMessageTest, FailsRatherThanWriteSomethingElse) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Row {
    const char* name;
    Json message;
  };
  const Row rows[] = {
      // Non-finite numbers have no JSON form; writing null or "nan" would be a different message.
      {"NaN", Json::object({{"x", nan}})},
      {"infinity", Json::object({{"x", inf}})},
      {"minus infinity deep inside", Json::object({{"a", Json::array({1, Json::object({{"y", -inf}})})}})},
      // Strings that are not UTF-8 must not be written as replacement characters or raw bytes.
      {"invalid byte in a value", Json::object({{"t", "a\xff"}})},
      {"invalid byte in a key", Json::object({{"\xc3", 1}})},
      {"encoded surrogate deep inside", Json::object({{"t", Json::array({"ok", "\xed\xa0\x80"})}})},
      {"truncated sequence", Json::object({{"t", "\xe2\x82"}})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(serializeMessage(made(row.message)), std::nullopt);
  }
}

}  // namespace
}  // namespace tolvane::testing
