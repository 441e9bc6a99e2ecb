#include "music/word.h"
#include "player/player.h"

namespace tolvane {

namespace {
// Any one-word term will do: only the success of the search matters.
constexpr const char* probeTerm = "music";
}  // namespace

Task<JsonObject> Player::check() {
  // Read once: the same status names the result and decides whether to ask for the subscription.
  const AuthorizationStatus status = service.authorizationStatus();
  JsonObject result;
  result.emplace("authorization", word(status));
  result.emplace("canPlay", false);

  const Result<void> probe = co_await service.searchCatalog(probeTerm, 1);
  if (!probe) {
    result["reason"] = word(probe.error());
    co_return result;
  }

  const Result<std::string> country = co_await service.currentCountryCode();
  if (country) result["storefront"] = country.value();  // a failure here is dropped on purpose

  if (status != AuthorizationStatus::authorized) co_return result;

  const Result<Subscription> subscription = co_await service.currentSubscription();
  if (!subscription) {
    result["reason"] = word(subscription.error());
  } else if (subscription.value().canPlayCatalogContent) {
    result["canPlay"] = true;
  } else {
    result["reason"] = "noSubscription";
  }
  co_return result;
}

}  // namespace tolvane
