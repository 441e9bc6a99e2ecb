// The dispatcher: one answer per command, with the command's id echoed unchanged, the fixed error
// codes, the guard of the transport commands, and the report that follows every answer.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/player_fixture.h"

namespace tolvane::testing {
namespace {

constexpr const char* morningTide = "1000000001";
constexpr const char* paperLanterns = "1000000002";
constexpr const char* northbound = "1000000003";

std::vector<Json> ofKind(const std::vector<Json>& messages, const std::string& type) {
  std::vector<Json> out;
  for (const auto& m : messages)
    if (m.value("type", "") == type) out.push_back(m);
  return out;
}

using DispatcherTest = PlayerFixture;

TEST_F(DispatcherTest, AnswerEchoesTheIdUnchangedWhateverItsKind) {
  struct Row {
    const char* name;
    std::optional<Json> id;
  };
  const Row rows[] = {
      {"string", Json("a-1")},
      {"integer", Json(7)},
      {"negative integer", Json(-3)},
      // Converting a fractional id to an integer.
      {"fraction", Json(2.5)},
      {"boolean", Json(false)},
      // Dropping a null id as if it were absent.
      {"null", Json(nullptr)},
      {"object", Json::parse(R"({"n":[1,{"x":null}]})")},
      {"array", Json::parse(R"([1,"two",[3]])")},
      {"empty string", Json("")},
      // Writing an "id" member for a command without one.
      {"absent", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A command that succeeds, and one without a "type": the id comes before the routing.
    Json stop = {{"type", "stop"}};
    Json untyped = Json::object();
    Json expectedStop = {{"type", "answer"}};
    Json expectedUntyped = {{"type", "answer"}, {"error", "unknownCommand"}};
    if (row.id) {
      stop["id"] = *row.id;
      untyped["id"] = *row.id;
      expectedStop["id"] = *row.id;
      expectedUntyped["id"] = *row.id;
    }
    send(stop);
    send(untyped);
    EXPECT_EQ(take(), (std::vector<Json>{expectedStop, expectedUntyped}));
  }
}

TEST_F(DispatcherTest, TypeThatIsNoCommandWordAnswersUnknownCommandAndDoesNothing) {
  struct Row {
    const char* name;
    const char* command;
    const char* answer;
  };
  const Row rows[] = {
      {"empty command", R"({})", R"({"type":"answer","error":"unknownCommand"})"},
      {"missing type with id", R"({"id":"a"})", R"({"type":"answer","id":"a","error":"unknownCommand"})"},
      // Reading a number as a command word.
      {"number type", R"({"type":5,"id":1})", R"({"type":"answer","id":1,"error":"unknownCommand"})"},
      {"null type", R"({"type":null,"id":1})", R"({"type":"answer","id":1,"error":"unknownCommand"})"},
      {"array type", R"({"type":["play"],"id":1})", R"({"type":"answer","id":1,"error":"unknownCommand"})"},
      // Matching without regard to case.
      {"capitalised word", R"({"type":"Play","id":1,"ids":["1000000001"]})",
       R"({"type":"answer","id":1,"error":"unknownCommand"})"},
      // Matching after trimming, or by prefix.
      {"word with a trailing space", R"({"type":"stop ","id":1})",
       R"({"type":"answer","id":1,"error":"unknownCommand"})"},
      {"prefix of a word", R"({"type":"che","id":1})", R"({"type":"answer","id":1,"error":"unknownCommand"})"},
      {"empty word", R"({"type":"","id":1})", R"({"type":"answer","id":1,"error":"unknownCommand"})"},
      {"the answer's own type", R"({"type":"answer","id":1})", R"({"type":"answer","id":1,"error":"unknownCommand"})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::size_t calls = simPlayer().calls();
    const std::size_t requests = service.catalogRequests().size();
    const std::size_t searches = service.searchTerms().size();
    const std::int64_t generation = player->generation;

    send(row.command);
    advance(300ms);

    EXPECT_EQ(take(), std::vector<Json>{Json::parse(row.answer)});
    EXPECT_EQ(simPlayer().calls(), calls);
    EXPECT_EQ(service.catalogRequests().size(), requests);
    EXPECT_EQ(service.searchTerms().size(), searches);
    EXPECT_EQ(player->generation, generation);
  }
}

TEST_F(DispatcherTest, GuardedCommandsAnswerNothingLoadedAndLeaveThePlayerAlone) {
  const char* guarded[] = {
      R"({"type":"pause","id":"g"})",    R"({"type":"resume","id":"g"})",          R"({"type":"next","id":"g"})",
      R"({"type":"previous","id":"g"})", R"({"type":"seek","id":"g","ms":90000})",
  };
  struct Situation {
    const char* name;
    std::function<void()> setup;
  };
  const Situation situations[] = {
      {"before any play", [] {}},
      // Guarding on the player having a queue instead of on `loaded`: the earlier queue is still
      // audible while the new one is looked up.
      {"while a play waits for the catalog",
       [&] {
         playStarted({morningTide, paperLanterns});
         send(R"({"type":"play","id":"p","ids":["1000000003"]})");
         ASSERT_EQ(simPlayer().playbackStatus(), PlaybackStatus::playing);
       }},
  };
  for (const Situation& situation : situations) {
    SCOPED_TRACE(situation.name);
    situation.setup();
    ASSERT_FALSE(player->loaded);
    take();
    for (const char* command : guarded) {
      SCOPED_TRACE(command);
      const std::size_t calls = simPlayer().calls();
      const double position = simPlayer().playbackTime();

      send(command);

      // The answer at once, and no state line after it.
      EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "g"}, {"error", "nothingLoaded"}}}));
      EXPECT_EQ(simPlayer().calls(), calls);
      EXPECT_DOUBLE_EQ(simPlayer().playbackTime(), position);
    }
  }
}

TEST_F(DispatcherTest, AnswerComesBeforeTheReportItIsFollowedBy) {
  struct Row {
    const char* name;
    bool loadFirst;
    const char* command;
    std::optional<std::string> error;
  };
  const Row rows[] = {
      {"play", false, R"({"type":"play","id":"c","ids":["1000000001","1000000002","1000000003"]})", std::nullopt},
      {"pause", true, R"({"type":"pause","id":"c"})", std::nullopt},
      {"resume", true, R"({"type":"resume","id":"c"})", std::nullopt},
      {"next", true, R"({"type":"next","id":"c"})", std::nullopt},
      {"previous (skips)", true, R"({"type":"previous","id":"c"})", std::nullopt},
      {"seek", true, R"({"type":"seek","id":"c","ms":4000})", std::nullopt},
      {"check", true, R"({"type":"check","id":"c"})", std::nullopt},
      {"authorize", true, R"({"type":"authorize","id":"c"})", std::nullopt},
      {"unknown command", true, R"({"type":"shuffle","id":"c"})", "unknownCommand"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.loadFirst) {
      playStarted({morningTide, paperLanterns, northbound});
    } else {
      send(R"({"type":"stop"})");
    }
    take();

    send(row.command);
    advance(300ms);

    // Whatever the command, its report is written after its answer, never before.
    const auto messages = take();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0]["type"], "answer");
    EXPECT_EQ(messages[0]["id"], "c");
    EXPECT_EQ(messages[0].contains("error"), row.error.has_value());
    if (row.error) {
      EXPECT_EQ(messages[0]["error"], *row.error);
    }
    EXPECT_EQ(messages[1]["type"], "state");
  }
}

TEST_F(DispatcherTest, CommandThatDoesNotWaitIsAnsweredBeforeAnEarlierWaitingPlay) {
  send(R"({"type":"play","id":"p","ids":["1000000001"]})");
  send(R"({"type":"pause","id":"q"})");
  // Queuing commands behind the waiting play.
  EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "q"}, {"error", "nothingLoaded"}}}));
  EXPECT_EQ(simPlayer().pauseCalls(), 0u);

  advance(300ms);
  const auto messages = take();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0], (Json{{"type", "answer"}, {"id", "p"}}));
  EXPECT_EQ(simPlayer().playbackStatus(), PlaybackStatus::playing);
}

TEST_F(DispatcherTest, MembersThatNoRowReadsAreIgnored) {
  struct Row {
    const char* name;
    const char* command;
    const char* answer;
  };
  const Row rows[] = {
      // Copying command members into the answer.
      {"stop with an \"error\" member", R"({"type":"stop","id":1,"error":"boom","extra":{"a":[1]}})",
       R"({"type":"answer","id":1})"},
      {"pause with \"ms\" while nothing is loaded", R"({"type":"pause","id":2,"ms":5,"loaded":true})",
       R"({"type":"answer","id":2,"error":"nothingLoaded"})"},
      {"check with readiness members", R"({"type":"check","id":3,"authorization":"denied","canPlay":false})",
       R"({"type":"answer","id":3,"authorization":"authorized","canPlay":true,"storefront":"us"})"},
      {"unknown word with a \"kind\"", R"({"id":4,"kind":"play","ids":["1000000001"]})",
       R"({"type":"answer","id":4,"error":"unknownCommand"})"},
      {"play with \"ms\" and \"error\"", R"({"type":"play","id":5,"ids":["1000000001"],"ms":9000,"error":"x"})",
       R"({"type":"answer","id":5})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    send(row.command);
    advance(300ms);
    const auto answers = ofKind(take(), "answer");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], Json::parse(row.answer));
  }
  // The play with extra members played as any other.
  EXPECT_TRUE(player->loaded);
  EXPECT_EQ(player->queued, std::vector<std::string>{morningTide});
  EXPECT_LT(simPlayer().playbackTime(), 1.0);  // "ms" is not read by "play"
}

TEST_F(DispatcherTest, AnswerWithErrorIsFollowedByAReportWhileAQueuePlays) {
  struct Row {
    const char* name;
    const char* command;
    const char* error;
  };
  const Row rows[] = {
      // Skipping the report on the error path.
      {"unknown word", R"({"type":"Pause","id":9})", "unknownCommand"},
      {"missing type", R"({"id":9})", "unknownCommand"},
  };
  playStarted({morningTide});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    take();
    send(row.command);
    const auto messages = take();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], (Json{{"type", "answer"}, {"id", 9}, {"error", row.error}}));
    EXPECT_EQ(messages[1]["type"], "state");
    EXPECT_EQ(messages[1]["status"], "playing");
    EXPECT_EQ(messages[1]["song"]["id"], morningTide);
  }
  EXPECT_EQ(simPlayer().pauseCalls(), 0u);
}

}  // namespace
}  // namespace tolvane::testing
