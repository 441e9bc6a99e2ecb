#include "music/word.h"

#include <gtest/gtest.h>

#include <string>

#include "music_service/simulated/simulated_service.h"
#include "platform/error.h"

namespace tolvane::testing {
namespace {

TEST(WordTest, RemovesDotsFromBothEndsOnly) {
  struct Row {
    const char* name;
    std::string text;
    std::string expected;
  };
  const Row rows[] = {
      {"a single dot", ".", ""},
      {"only dots", "...", ""},
      {"empty", "", ""},
      // Dots inside stay; every dot at either end goes, not just one.
      {"dots around and inside", "..a.b..", "a.b"},
      {"no dots", "playing", "playing"},
      // Nothing but dots is trimmed: a space after the last dot protects it.
      {"dot then space at the end", "Failed. ", "Failed. "},
      {"space then dot at the start", " .a", " .a"},
      {"line break at the end", "a.\n", "a.\n"},
      {"dot before a line break at the start", ".\n.", "\n"},
      {"other punctuation", "\u2026a\u3002", "\u2026a\u3002"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(word(row.text), row.expected);
  }
  EXPECT_EQ(word("."), "");
  EXPECT_EQ(word(std::string_view("..a.b..")), "a.b");
}

TEST(WordTest, GivesTheCaseNamesOfStatuses) {
  struct PlaybackRow {
    PlaybackStatus status;
    const char* name;
  };
  const PlaybackRow playback[] = {
      {PlaybackStatus::stopped, "stopped"},
      {PlaybackStatus::playing, "playing"},
      {PlaybackStatus::paused, "paused"},
      {PlaybackStatus::interrupted, "interrupted"},
      {PlaybackStatus::seekingForward, "seekingForward"},
      {PlaybackStatus::seekingBackward, "seekingBackward"},
  };
  for (const auto& row : playback) EXPECT_EQ(word(row.status), row.name);

  struct AuthorizationRow {
    AuthorizationStatus status;
    const char* name;
  };
  const AuthorizationRow authorization[] = {
      {AuthorizationStatus::notDetermined, "notDetermined"},
      {AuthorizationStatus::denied, "denied"},
      {AuthorizationStatus::restricted, "restricted"},
      {AuthorizationStatus::authorized, "authorized"},
  };
  for (const auto& row : authorization) EXPECT_EQ(word(row.status), row.name);
}

TEST(WordTest, GivesTheFullDescriptionOfAnError) {
  struct Row {
    const char* name;
    Error error;
    std::string expected;
  };
  const Row rows[] = {
      {"not found", notFoundError(),
       R"(Error Domain=tolvane Code=1 "notFound" UserInfo={NSLocalizedDescription=notFound})"},
      // Dots inside the description are not at its ends: the localized text keeps its full stop.
      {"player error with a full stop", SimulatedService::playerError(4, "The queue is empty."),
       R"(Error Domain=tolvane.simulator Code=4 "The queue is empty." UserInfo={NSLocalizedDescription=The queue is empty.})"},
      {"negative code", Error{"NSURLErrorDomain", -1009, "offline"},
       R"(Error Domain=NSURLErrorDomain Code=-1009 "offline" UserInfo={NSLocalizedDescription=offline})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(word(row.error), row.expected);
  }
}

}  // namespace
}  // namespace tolvane::testing
