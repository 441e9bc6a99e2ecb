// The readiness check behind "check" and "authorize": its five outcomes, the country code that may
// be missing, the authorization status read once, and its place among other commands. The probe
// answers after 50 ms, the country code and the subscription after 10 ms each, the authorization
// request after 20 ms.

#include <optional>
#include <string>
#include <vector>

#include "support/player_fixture.h"

namespace tolvane::testing {
namespace {

Json withoutId(Json answer) {
  answer.erase("id");
  return answer;
}

using ReadinessTest = PlayerFixture;

TEST_F(ReadinessTest, OutcomesCarryExactlyTheirMembers) {
  const Error probeError{"tolvane.simulator.catalog", 11, "The search could not be made"};
  const Error countryError{"tolvane.simulator.storefront", 12, "No storefront"};
  const Error subscriptionError{"tolvane.simulator.subscription", 13, "The subscription could not be read"};
  struct Row {
    const char* name;
    AuthorizationStatus status;
    bool probeFails;
    bool countryFails;
    bool subscriptionFails;
    bool canPlayCatalogContent;
    Json readiness;
    std::size_t countryLookups;
    std::size_t subscriptionLookups;
  };
  const Row rows[] = {
      // Going on to the country code or the subscription after the probe failed.
      {"search probe fails",
       AuthorizationStatus::authorized,
       true,
       false,
       false,
       true,
       {{"authorization", "authorized"}, {"canPlay", false}, {"reason", probeError.description()}},
       0,
       0},
      {"search probe fails, not determined",
       AuthorizationStatus::notDetermined,
       true,
       false,
       false,
       true,
       {{"authorization", "notDetermined"}, {"canPlay", false}, {"reason", probeError.description()}},
       0,
       0},
      // Asking for the subscription, or giving a reason, when not authorized.
      {"not authorized, with a country code",
       AuthorizationStatus::denied,
       false,
       false,
       false,
       true,
       {{"authorization", "denied"}, {"canPlay", false}, {"storefront", "se"}},
       1,
       0},
      {"not authorized, without a country code",
       AuthorizationStatus::restricted,
       false,
       true,
       false,
       true,
       {{"authorization", "restricted"}, {"canPlay", false}},
       1,
       0},
      {"subscription lookup fails",
       AuthorizationStatus::authorized,
       false,
       false,
       true,
       true,
       {{"authorization", "authorized"},
        {"canPlay", false},
        {"storefront", "se"},
        {"reason", subscriptionError.description()}},
       1,
       1},
      {"no subscription",
       AuthorizationStatus::authorized,
       false,
       false,
       false,
       false,
       {{"authorization", "authorized"}, {"canPlay", false}, {"storefront", "se"}, {"reason", "noSubscription"}},
       1,
       1},
      {"can play",
       AuthorizationStatus::authorized,
       false,
       false,
       false,
       true,
       {{"authorization", "authorized"}, {"canPlay", true}, {"storefront", "se"}},
       1,
       1},
      // Stopping at a failed country code, or reporting it as the reason.
      {"can play, country code fails",
       AuthorizationStatus::authorized,
       false,
       true,
       false,
       true,
       {{"authorization", "authorized"}, {"canPlay", true}},
       1,
       1},
  };
  service.setCountryCode("se");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    service.setAuthorizationStatus(row.status);
    service.clearFailure(Operation::searchProbe);
    service.clearFailure(Operation::countryCode);
    service.clearFailure(Operation::subscription);
    if (row.probeFails) service.setFailure(Operation::searchProbe, probeError);
    if (row.countryFails) service.setFailure(Operation::countryCode, countryError);
    if (row.subscriptionFails) service.setFailure(Operation::subscription, subscriptionError);
    service.setCanPlayCatalogContent(row.canPlayCatalogContent);

    // "authorize" without a change of status answers as "check" does.
    for (const char* type : {"check", "authorize"}) {
      SCOPED_TRACE(type);
      const std::size_t countryLookups = service.countryCodeRequests();
      const std::size_t subscriptionLookups = service.subscriptionRequests();
      const std::size_t searches = service.searchTerms().size();

      send(Json{{"type", type}, {"id", 7}});
      advance(200ms);

      Json expected = row.readiness;
      expected["type"] = "answer";
      expected["id"] = 7;
      EXPECT_EQ(take(), std::vector<Json>{expected});
      EXPECT_EQ(service.searchTerms().size(), searches + 1);
      EXPECT_EQ(service.countryCodeRequests(), countryLookups + row.countryLookups);
      EXPECT_EQ(service.subscriptionRequests(), subscriptionLookups + row.subscriptionLookups);
    }
  }
}

TEST_F(ReadinessTest, ProbeSearchesForOneWord) {
  send(R"({"type":"check"})");
  advance(200ms);
  ASSERT_EQ(service.searchTerms().size(), 1u);
  const std::string& term = service.searchTerms()[0];
  EXPECT_FALSE(term.empty());
  EXPECT_EQ(term.find_first_of(" \t\n"), std::string::npos);
}

TEST_F(ReadinessTest, AuthorizeReportsTheStatusAfterTheRequest) {
  struct Row {
    const char* name;
    AuthorizationStatus before;
    AuthorizationStatus after;
    Json readiness;
  };
  const Row rows[] = {
      // Reporting the status read before the request.
      {"granted at the prompt",
       AuthorizationStatus::notDetermined,
       AuthorizationStatus::authorized,
       {{"authorization", "authorized"}, {"canPlay", true}, {"storefront", "us"}}},
      {"denied at the prompt",
       AuthorizationStatus::notDetermined,
       AuthorizationStatus::denied,
       {{"authorization", "denied"}, {"canPlay", false}, {"storefront", "us"}}},
      {"withdrawn meanwhile",
       AuthorizationStatus::authorized,
       AuthorizationStatus::restricted,
       {{"authorization", "restricted"}, {"canPlay", false}, {"storefront", "us"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    service.setAuthorizationStatus(row.before);
    service.setStatusAfterRequest(row.after);

    send(R"({"type":"authorize","id":"a"})");
    advance(200ms);
    const auto authorized = take();
    ASSERT_EQ(authorized.size(), 1u);
    Json expected = row.readiness;
    expected["type"] = "answer";
    expected["id"] = "a";
    EXPECT_EQ(authorized[0], expected);

    // A check right after gives the same members.
    send(R"({"type":"check","id":"c"})");
    advance(200ms);
    const auto checked = take();
    ASSERT_EQ(checked.size(), 1u);
    EXPECT_EQ(withoutId(checked[0]), withoutId(authorized[0]));
  }
}

TEST_F(ReadinessTest, StatusIsReadOnceAtTheStartOfTheCheck) {
  struct Row {
    const char* name;
    AuthorizationStatus atStart;
    AuthorizationStatus changedTo;
    Duration changeAfter;
    Json readiness;
    std::size_t subscriptionLookups;
  };
  const Row rows[] = {
      // Reading the status again for the authorized test: the subscription would not be asked.
      {"withdrawn during the probe",
       AuthorizationStatus::authorized,
       AuthorizationStatus::denied,
       20ms,
       {{"authorization", "authorized"}, {"canPlay", true}, {"storefront", "us"}},
       1},
      {"withdrawn during the country code lookup",
       AuthorizationStatus::authorized,
       AuthorizationStatus::denied,
       55ms,
       {{"authorization", "authorized"}, {"canPlay", true}, {"storefront", "us"}},
       1},
      // Reading it again: the subscription would be asked and play allowed.
      {"granted during the probe",
       AuthorizationStatus::denied,
       AuthorizationStatus::authorized,
       20ms,
       {{"authorization", "denied"}, {"canPlay", false}, {"storefront", "us"}},
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    service.setAuthorizationStatus(row.atStart);
    const std::size_t subscriptionLookups = service.subscriptionRequests();

    send(R"({"type":"check","id":1})");
    advance(row.changeAfter);
    ASSERT_TRUE(take().empty());  // still waiting
    service.setAuthorizationStatus(row.changedTo);
    advance(200ms);

    Json expected = row.readiness;
    expected["type"] = "answer";
    expected["id"] = 1;
    EXPECT_EQ(take(), std::vector<Json>{expected});
    EXPECT_EQ(service.subscriptionRequests(), subscriptionLookups + row.subscriptionLookups);
  }
}

TEST_F(ReadinessTest, StopSentDuringACheckIsAnsweredFirst) {
  send(R"({"type":"check","id":"c"})");
  send(R"({"type":"stop","id":"s"})");
  EXPECT_EQ(take(), (std::vector<Json>{{{"type", "answer"}, {"id", "s"}}}));

  advance(200ms);
  const auto messages = take();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["id"], "c");
  EXPECT_EQ(messages[0]["canPlay"], true);
}

TEST_F(ReadinessTest, CheckLeavesTheLoadedQueueAloneAndIsFollowedByItsReport) {
  playStarted({"1000000001", "1000000002"}, {{"token", "t"}});
  take();
  const auto requested = player->requested;
  const auto queued = player->queued;
  const auto generation = player->generation;
  const std::size_t calls = simPlayer().calls();

  send(R"({"type":"check","id":"c"})");
  advance(200ms);

  const auto messages = take();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]["type"], "answer");
  EXPECT_EQ(messages[1]["type"], "state");
  EXPECT_EQ(messages[1]["token"], "t");
  EXPECT_EQ(player->requested, requested);
  EXPECT_EQ(player->queued, queued);
  EXPECT_EQ(player->generation, generation);
  EXPECT_TRUE(player->loaded);
  EXPECT_EQ(simPlayer().calls(), calls);
}

}  // namespace
}  // namespace tolvane::testing
