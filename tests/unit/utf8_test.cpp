#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/json.h"
#include "support/message_view.h"

namespace tolvane::testing {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// "F0 9F 41" as bytes.
std::string bytesOf(std::string_view hex) {
  std::string out;
  std::istringstream in{std::string(hex)};
  std::string pair;
  while (in >> pair) out += static_cast<char>(std::stoi(pair, nullptr, 16));
  return out;
}

std::string utf8Of(const std::vector<char32_t>& codePoints) {
  std::string out;
  for (char32_t c : codePoints) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Checked by the JSON library's own strict validator, which shares nothing with the decoder.
bool wellFormed(const std::string& text) {
  try {
    (void)Json(text).dump(-1, ' ', false, Json::error_handler_t::strict);
    return true;
  } catch (const Json::type_error&) {
    return false;
  }
}

std::size_t replacementsIn(std::string_view text) {
  std::size_t count = 0;
  for (auto at = text.find(replacement); at != std::string_view::npos; at = text.find(replacement, at + 3)) ++count;
  return count;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

TEST(DecodeUtf8LossyTest, ValidatorUsedHereRejectsIllFormedText) {
  EXPECT_TRUE(wellFormed("a\u00e9\U0001F305"));
  EXPECT_FALSE(wellFormed("\xED\xA0\x80"));
  EXPECT_FALSE(wellFormed("\xC0\xAF"));
  EXPECT_FALSE(wellFormed("\xF4\x90\x80\x80"));
}

// The boundaries of each sequence length, and sequences cut short by the end of the text.
TEST(IsWellFormedUtf8Test, AcceptsExactlyTheWellFormedSequences) {
  struct Row {
    const char* name;
    const char* bytes;
    bool wellFormed;
  };
  const Row rows[] = {
      {"empty", "", true},
      {"ASCII with NUL and DEL", "00 41 7F", true},
      {"smallest and largest two-byte", "C2 80 DF BF", true},
      {"overlong two-byte", "C1 BF", false},
      {"smallest three-byte after overlongs", "E0 A0 80", true},
      {"overlong three-byte", "E0 9F BF", false},
      {"last before the surrogates", "ED 9F BF", true},
      {"a surrogate", "ED A0 80", false},
      {"largest code point", "F4 8F BF BF", true},
      {"above the largest code point", "F4 90 80 80", false},
      {"lead byte F5", "F5 80 80 80", false},
      {"lone continuation byte", "80", false},
      {"cut short at the end", "41 E2 82", false},
      {"four-byte cut short by ASCII", "F0 9F 41 41", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string bytes = bytesOf(row.bytes);
    EXPECT_EQ(isWellFormedUtf8(bytes), row.wellFormed);
    EXPECT_EQ(isWellFormedUtf8(bytes), wellFormed(bytes)) << "agrees with the independent validator";
  }
}

TEST(DecodeUtf8LossyTest, ReplacesEachMaximalSubpartOnce) {
  constexpr char32_t R = 0xFFFD;
  struct Row {
    const char* name;
    const char* bytes;
    std::vector<char32_t> expected;
  };
  // Published examples of maximal-subpart decoding, bytes and code points as published.
  const Row rows[] = {
      {"empty", "", {}},
      // WHATWG decoder end-of-input cases: a truncated sequence at the end is one subpart.
      {"F0", "F0", {R}},
      {"F0 9F", "F0 9F", {R}},
      {"F0 9F 92", "F0 9F 92", {R}},
      {"F0 9F 41", "F0 9F 41", {R, 'A'}},
      {"F0 41 42", "F0 41 42", {R, 'A', 'B'}},
      {"F0 41 F0", "F0 41 F0", {R, 'A', R}},
      // 8F is outside F0's allowed second byte: every byte its own subpart.
      {"F0 8F 92", "F0 8F 92", {R, R, R}},
      {"F0 C2 80 2A", "F0 C2 80 2A", {R, 0x80, '*'}},
      // The review issue's example under the maximal-subpart policy.
      {"PRI 121", "61 F1 80 80 E1 80 C2 62", {'a', R, R, R, 'b'}},
      // A decoder's test data: a valid sequence right after an invalid one survives.
      {"a C3 Z", "61 C3 5A", {'a', R, 'Z'}},
      {"a E2 98 Z", "61 E2 98 5A", {'a', R, 'Z'}},
      {"a F0 9F 92 Z", "61 F0 9F 92 5A", {'a', R, 'Z'}},
      {"lone trail bytes", "61 BF BF 5A", {'a', R, R, 'Z'}},
      {"valid then a lone trail", "61 C3 A4 80 5A", {'a', 0xE4, R, 'Z'}},
      // The Unicode Standard's examples of substitution of maximal subparts.
      {"mixed", "61 F1 80 80 E1 80 C2 62 80 63 80 BF 64", {'a', R, R, R, 'b', R, 'c', R, R, 'd'}},
      {"non-shortest forms", "C0 AF E0 80 BF F0 81 82 41", {R, R, R, R, R, R, R, R, 'A'}},
      {"surrogates", "ED A0 80 ED BF BF ED AF 41", {R, R, R, R, R, R, R, R, 'A'}},
      {"out of range, FF, lone trails", "F4 91 92 93 FF 41 80 BF 42", {R, R, R, R, R, 'A', R, R, 'B'}},
      {"truncated", "E1 80 E2 F0 91 92 F1 BF 41", {R, R, R, R, 'A'}},
      // A byte order mark is a character like any other and is kept.
      {"BOM kept", "EF BB BF 7B 7D", {0xFEFF, '{', '}'}},
      {"truncated BOM", "EF BB 7B 7D", {R, '{', '}'}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(decodeUtf8Lossy(bytesOf(row.bytes)), utf8Of(row.expected));
  }
}

TEST(DecodeUtf8LossyTest, StressTestFileGivesThePublishedReplacementCounts) {
  const std::string dir = TOLVANE_CONFORMANCE_DIR "/utf8/";
  const std::string text = readFile(dir + "UTF-8-test.txt");
  const std::string table = readFile(dir + "UTF-8-test.fffd.tsv");
  ASSERT_FALSE(text.empty()) << "cannot read " << dir;
  ASSERT_FALSE(table.empty()) << "cannot read " << dir;

  // Line number -> replacements inserted; lines not listed are well-formed.
  std::map<std::size_t, std::size_t> expected;
  std::istringstream rows(table);
  std::size_t lineNumber = 0;
  std::string section;
  std::size_t count = 0;
  while (rows >> lineNumber >> section >> count) expected[lineNumber] = count;
  ASSERT_EQ(expected.size(), 68u) << "the table did not read as a whole";

  std::vector<std::string> lines;
  for (std::size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
    lines.push_back(text.substr(begin, end - begin));
  }
  ASSERT_EQ(lines.size(), 300u);

  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::size_t number = i + 1;
    const std::string& line = lines[i];
    const std::string decoded = decodeUtf8Lossy(line);
    const auto listed = expected.find(number);
    const std::size_t wanted = listed == expected.end() ? 0 : listed->second;
    EXPECT_EQ(replacementsIn(decoded) - replacementsIn(line), wanted) << "line " << number;
    EXPECT_TRUE(wellFormed(decoded)) << "line " << number;
    EXPECT_EQ(isWellFormedUtf8(line), wanted == 0) << "line " << number;
    EXPECT_EQ(isWellFormedUtf8(line), wellFormed(line)) << "line " << number;
    if (wanted == 0) {
      EXPECT_EQ(decoded, line) << "a well-formed line " << number << " passes unchanged";
    }
    EXPECT_EQ(decodeUtf8Lossy(decoded), decoded) << "line " << number;
  }
}

}  // namespace
}  // namespace tolvane::testing
