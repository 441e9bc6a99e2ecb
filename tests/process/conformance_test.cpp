// Published parser and decoder test data fed to the helper as input lines: every JSON test file of
// the parsing suite, and every line of the UTF-8 decoder stress test inside a command's "id".

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/helper_process.h"
#include "support/hostile_support.h"

namespace tolvane::testing {
namespace {

constexpr Millis answerTimeout{10000};

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct CorpusFile {
  std::string name;
  std::string bytes;
};

// Every file of the parsing suite whose name starts with `prefix`, in name order.
std::vector<CorpusFile> corpusFiles(const std::string& prefix) {
  std::vector<CorpusFile> files;
  const std::filesystem::path dir = std::filesystem::path(TOLVANE_CONFORMANCE_DIR) / "json" / "test_parsing";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(prefix)) files.push_back({name, readFile(entry.path())});
  }
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return files;
}

bool isJsonWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// True when the file is one input line whose top-level value is an object: its first byte other
// than whitespace is '{', and no LF splits it (a single LF at its very end is the line's terminator).
bool isOneLineObject(std::string_view bytes) {
  const auto first = std::find_if_not(bytes.begin(), bytes.end(), isJsonWhitespace);
  if (first == bytes.end() || *first != '{') return false;
  if (bytes.ends_with('\n')) bytes.remove_suffix(1);
  return bytes.find('\n') == std::string_view::npos;
}

// Fails unless `line` is well-formed UTF-8 and one JSON object to a strict parser.
void expectStrictJsonObject(const std::string& line) {
  EXPECT_TRUE(isWellFormedUtf8(line)) << "output line is not well-formed UTF-8: " << line;
  try {
    EXPECT_TRUE(Json::parse(line).is_object()) << line;
  } catch (const Json::exception& e) {
    ADD_FAILURE() << "output line is not JSON (" << e.what() << "): " << line;
  }
}

// One helper that is given file after file. After each file comes a marker command, answered at
// once and in input order; whatever the file produced comes before the marker's answer.
class ConformanceTest : public HelperProcessTest {
 protected:
  // Sends `bytes` (terminated by a LF if they are not already) and then the marker; returns the
  // output lines that came before the marker's answer.
  std::vector<std::string> outputOf(const std::string& bytes) {
    const Json marker = "marker-" + std::to_string(++markers_);
    helper.send(bytes);
    if (!bytes.ends_with('\n')) helper.send("\n");
    helper.sendLine({{"type", "stop"}, {"id", marker}});
    std::vector<std::string> before;
    for (;;) {
      auto line = helper.readLine(answerTimeout);
      if (!line) {
        ADD_FAILURE() << "no answer to " << marker << ": the helper crashed or hangs";
        return before;
      }
      expectStrictJsonObject(*line);
      if (Json::parse(*line, nullptr, false) == Json({{"type", "answer"}, {"id", marker}})) return before;
      before.push_back(*line);
    }
  }

  // The helper survived everything it was given, ends at the end of its input with status 0.
  void expectCleanExit() {
    EXPECT_TRUE(helper.running());
    helper.closeInput();
    EXPECT_EQ(helper.waitExit(Millis(5000)), 0);
  }

 private:
  int markers_ = 0;
};

TEST_F(ConformanceTest, ValidJsonTextsAreAnsweredOnlyWhenTheLineIsAnObject) {
  const auto files = corpusFiles("y_");
  ASSERT_FALSE(files.empty());
  int objects = 0;
  for (const CorpusFile& file : files) {
    SCOPED_TRACE(file.name);
    const std::vector<std::string> output = outputOf(file.bytes);
    if (!isOneLineObject(file.bytes)) {
      // Arrays, scalars, and an object written across several lines: every line is dropped.
      EXPECT_EQ(output, std::vector<std::string>{});
      continue;
    }
    ++objects;
    ASSERT_EQ(output.size(), 1u);
    const Json command = Json::parse(file.bytes);
    const Json answer = Json::parse(output[0]);
    if (command.contains("type")) {
      EXPECT_EQ(answer.value("type", ""), "answer") << output[0];
      continue;
    }
    // No command word: the one answer says so and echoes the "id", when the file has one.
    Json expected = {{"type", "answer"}, {"error", "unknownCommand"}};
    if (command.contains("id")) expected["id"] = command["id"];
    EXPECT_EQ(answer, expected);
  }
  EXPECT_GT(objects, 0) << "no one-line object among the valid texts: the classification is broken";
  expectCleanExit();
}

TEST_F(ConformanceTest, InvalidJsonTextsProduceNoOutput) {
  // Trailing commas, a byte order mark, NUL bytes, ill-formed UTF-8, 100,000 open brackets: the
  // helper answers none of them and lives on.
  const auto files = corpusFiles("n_");
  ASSERT_FALSE(files.empty());
  for (const CorpusFile& file : files) {
    SCOPED_TRACE(file.name);
    EXPECT_EQ(outputOf(file.bytes), std::vector<std::string>{});
  }
  expectCleanExit();
}

TEST_F(ConformanceTest, ImplementationDefinedTextsNeitherCrashNorHang) {
  const auto files = corpusFiles("i_");
  ASSERT_FALSE(files.empty());
  for (const CorpusFile& file : files) {
    SCOPED_TRACE(file.name);
    const std::vector<std::string> output = outputOf(file.bytes);
    if (file.bytes.starts_with("\xEF\xBB\xBF{")) {
      // A byte order mark at the start of a line is skipped: the object behind it is a command.
      ASSERT_EQ(output.size(), 1u);
      EXPECT_EQ(Json::parse(output[0]).value("error", ""), "unknownCommand") << output[0];
    } else if (!isOneLineObject(file.bytes)) {
      EXPECT_EQ(output, std::vector<std::string>{});
    } else {
      // Accepting or rejecting is ours to choose; accepted, it is a command without a command word.
      ASSERT_LE(output.size(), 1u);
      if (!output.empty()) {
        EXPECT_EQ(Json::parse(output[0]).value("error", ""), "unknownCommand") << output[0];
      }
    }
  }
  expectCleanExit();
}

// ---- UTF-8 decoding ----

// The expected U+FFFD count for each line of the stress test that is not well-formed UTF-8.
std::map<int, std::size_t> replacementCounts() {
  std::map<int, std::size_t> counts;
  std::istringstream tsv(readFile(std::filesystem::path(TOLVANE_CONFORMANCE_DIR) / "utf8" / "UTF-8-test.fffd.tsv"));
  std::string row;
  while (std::getline(tsv, row)) {
    std::istringstream fields(row);
    int line = 0;
    std::string section;
    std::size_t count = 0;
    if (fields >> line >> section >> count) counts[line] = count;
  }
  return counts;
}

using Utf8ConformanceTest = HelperProcessTest;

TEST_F(Utf8ConformanceTest, EveryStressTestLineComesBackWithOneReplacementPerMaximalSubpart) {
  static constexpr std::string_view fffd = "\xEF\xBF\xBD";
  const std::string text = readFile(std::filesystem::path(TOLVANE_CONFORMANCE_DIR) / "utf8" / "UTF-8-test.txt");
  const std::map<int, std::size_t> counts = replacementCounts();
  ASSERT_FALSE(text.empty());
  ASSERT_FALSE(counts.empty());

  std::vector<std::string> lines;
  for (std::size_t from = 0; from < text.size();) {
    const std::size_t end = std::min(text.find('\n', from), text.size());
    lines.push_back(text.substr(from, end - from));
    from = end + 1;
  }
  ASSERT_GE(lines.size(), static_cast<std::size_t>(counts.rbegin()->first));

  std::size_t illFormed = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const int number = static_cast<int>(i) + 1;
    const std::string& raw = lines[i];
    SCOPED_TRACE("line " + std::to_string(number) + ": " + raw);
    // Each line goes raw into a string: only '"', '\\' and control bytes are escaped.
    helper.send("{\"type\":\"stop\",\"id\":" + rawJsonString(raw) + "}\n");
    const auto line = helper.readLine(answerTimeout);
    ASSERT_TRUE(line) << "no answer";
    expectStrictJsonObject(*line);
    const Json answer = Json::parse(*line, nullptr, false);
    ASSERT_TRUE(answer.is_object() && answer.contains("id") && answer["id"].is_string()) << *line;
    EXPECT_EQ(answer.value("type", ""), "answer");
    EXPECT_FALSE(answer.contains("error")) << *line;
    const std::string id = answer["id"].get<std::string>();

    const auto listed = counts.find(number);
    if (listed == counts.end()) {
      // Well-formed lines, a literal U+FFFD included, come back byte for byte.
      EXPECT_EQ(id, raw);
      continue;
    }
    ++illFormed;
    EXPECT_EQ(occurrences(id, fffd), listed->second + occurrences(raw, fffd));
  }
  EXPECT_EQ(illFormed, counts.size());
  EXPECT_EQ(helper.readLine(Millis(200)), std::nullopt);
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(Millis(5000)), 0);
}

}  // namespace
}  // namespace tolvane::testing
