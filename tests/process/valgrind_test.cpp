// A whole session of the helper under valgrind's memory checker: any invalid access, use of
// uninitialised memory or definitely lost block fails it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "support/helper_process.h"

namespace tolvane::testing {
namespace {

// Valgrind is many times slower than the plain build; the waits of the session allow for that.
constexpr Millis slow{30000};

std::optional<std::string> findOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = dir + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

class ValgrindTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef TOLVANE_SANITIZED
    GTEST_SKIP() << "a sanitizer build cannot run under valgrind";
#endif
    const auto valgrind = findOnPath("valgrind");
    if (!valgrind) GTEST_SKIP() << "valgrind is not installed";
    // HelperProcess runs one program without arguments: a script that becomes valgrind, which runs
    // the helper on the same pipes and exits with the helper's status, or 1 for any error.
    char dirTemplate[] = "/tmp/tolvane-valgrind-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    dir_ = dirTemplate;
    script_ = dir_ / "helper-under-valgrind";
    std::ofstream(script_) << "#!/bin/sh\nexec " << *valgrind
                           << " -q --error-exitcode=1 --leak-check=full --show-leak-kinds=definite"
                              " --errors-for-leak-kinds=definite '"
                           << TOLVANE_BINARY << "'\n";
    ASSERT_EQ(::chmod(script_.c_str(), 0755), 0);
  }

  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::filesystem::path dir_;
  std::filesystem::path script_;
};

bool isEnded(const Json& message) { return isState(message) && message.value("status", "") == "ended"; }

TEST_F(ValgrindTest, SessionHasNoMemoryErrorAndNoDefiniteLeak) {
  HelperProcess helper(SpawnOptions{.binary = script_.string()});
  const auto answer = [&](const Json& command) {
    helper.sendLine(command);
    auto reply = helper.readUntil(isAnswerTo(command["id"]), slow);
    EXPECT_TRUE(reply) << "no answer to " << command.dump();
    return reply.value_or(Json());
  };

  // The readiness check, with and without the request for access.
  EXPECT_EQ(answer({{"type", "check"}, {"id", 1}}).value("canPlay", false), true);
  EXPECT_EQ(answer({{"type", "authorize"}, {"id", 2}}).value("canPlay", false), true);

  // A queue of short songs, driven by every transport command.
  const Json songs = {"1000000011", "1000000012", "1000000013"};
  EXPECT_FALSE(answer({{"type", "play"}, {"id", 3}, {"ids", songs}, {"token", "v"}}).contains("error"));
  for (const Json& command : {
           Json{{"type", "pause"}, {"id", 4}},
           Json{{"type", "resume"}, {"id", 5}},
           Json{{"type", "seek"}, {"id", 6}, {"ms", 1000}},
           Json{{"type", "next"}, {"id", 7}},
           Json{{"type", "previous"}, {"id", 8}},
       }) {
    EXPECT_FALSE(answer(command).contains("error")) << command.dump();
  }
  EXPECT_EQ(answer({{"type", "frobnicate"}, {"id", 9}}).value("error", ""), "unknownCommand");

  // A play overtaken by another while it waits for the catalog; the second plays out to its end.
  helper.sendLine({{"type", "play"}, {"id", 10}, {"ids", {"1000000014"}}});
  EXPECT_FALSE(answer({{"type", "play"}, {"id", 11}, {"ids", {"1000000011", "1000000012"}}}).contains("error"));
  EXPECT_TRUE(helper.readUntil(isEnded, slow)) << "the queue never ended";
  EXPECT_EQ(answer({{"type", "pause"}, {"id", 12}}).value("error", ""), "nothingLoaded");
  EXPECT_NE(answer({{"type", "play"}, {"id", 13}, {"ids", {"2000000000"}}}).value("error", "").find("notFound"),
            std::string::npos);

  // A termination request, then the end of input while a play still waits for the catalog.
  helper.signal(SIGTERM);
  EXPECT_TRUE(helper.readUntil([](const Json& m) { return m == Json({{"type", "quit"}}); }, slow));
  helper.sendLine({{"type", "play"}, {"id", 14}, {"ids", songs}});
  helper.closeInput();

  // Status 1 would be valgrind's verdict; its report is on standard error.
  EXPECT_EQ(helper.waitExit(Millis(60000)), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

}  // namespace
}  // namespace tolvane::testing
