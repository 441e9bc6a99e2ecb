// The command line: with no arguments the helper runs; --help and --version answer and exit; a
// command line that cannot be carried out says why in one line on stderr and exits 2.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/helper_process.h"

namespace tolvane::testing {
namespace {

TEST(CommandLineTest, OptionsAnswerOnStandardOutputOrRefuseOnStandardError) {
  struct Row {
    std::vector<std::string> arguments;
    int status;
    std::string outputStart;  // what standard output begins with
    std::string error;        // standard error, exactly
  };
  const Row rows[] = {
      {{"--version"}, 0, "tolvane 1.0\n", ""},
      {{"--help"}, 0, "Usage: tolvane", ""},
      {{"-h"}, 0, "Usage: tolvane", ""},
      {{"--bogus"}, 2, "", "tolvane: unknown option '--bogus' (see tolvane --help)\n"},
      {{"stray"}, 2, "", "tolvane: unexpected argument 'stray' (see tolvane --help)\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments.front());
    HelperProcess helper(SpawnOptions{.arguments = row.arguments});
    // Input stays open: only the option can end the process.
    EXPECT_EQ(helper.waitExit(Millis(5000)), row.status);
    std::string output;
    for (auto line = helper.readLine(Millis(500)); line; line = helper.readLine(Millis(500))) output += *line + "\n";
    output += helper.pendingOutput();
    EXPECT_EQ(output.substr(0, row.outputStart.size()), row.outputStart);
    if (row.outputStart.empty()) {
      EXPECT_EQ(output, "");
    }
    EXPECT_EQ(helper.stderrText(), row.error);
  }
}

// The music library lives in a program of its own beside the helper: a helper copied without it
// still runs on the simulated catalog, and says why a library or a listing cannot be had.
TEST(CommandLineTest, WithoutTheLibraryProgramOnlyTheLibraryModesFail) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("tolvane-alone-" + std::to_string(::getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::filesystem::path alone = folder / "tolvane";
  std::filesystem::copy_file(TOLVANE_BINARY, alone);

  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--library", folder.string()}, std::vector<std::string>{"--list"}}) {
    SCOPED_TRACE(arguments.front());
    HelperProcess helper(SpawnOptions{.arguments = arguments, .binary = alone.string()});
    EXPECT_EQ(helper.waitExit(Millis(5000)), 1);
    EXPECT_EQ(helper.stderrText(),
              "tolvane: cannot start the music library program tolvane-library: No such file or directory\n");
  }
  HelperProcess helper(SpawnOptions{.binary = alone.string()});
  helper.sendLine({{"type", "check"}, {"id", 1}});
  EXPECT_EQ(helper.readMessage()["type"], "answer");
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(Millis(5000)), 0);
  EXPECT_EQ(helper.stderrText(), "");
  std::filesystem::remove_all(folder);
}

TEST(CommandLineTest, HelpNamesEveryOption) {
  HelperProcess help(SpawnOptions{.arguments = {"--help"}});
  ASSERT_EQ(help.waitExit(Millis(5000)), 0);
  std::string text;
  for (auto line = help.readLine(Millis(500)); line; line = help.readLine(Millis(500))) text += *line + "\n";
  for (const char* option : {"--help", "--version", "--library", "--index", "--audio-sink", "--list"})
    EXPECT_NE(text.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace tolvane::testing
