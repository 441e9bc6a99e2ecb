// The dispatcher: every command reaches Player::handle, which writes exactly one answer for it and
// then a state report.

#include <cmath>
#include <string_view>

#include "commands/transport.h"
#include "music/word.h"
#include "platform/memory.h"
#include "player/player.h"

namespace tolvane {

namespace {

// The arguments of "play". Anything of the wrong kind counts as absent.
std::vector<std::string> idsArgument(const Json& command) {
  std::vector<std::string> ids;
  const Json* member = tolvane::member(command, "ids");
  const JsonArray* list = member ? member->if_array() : nullptr;
  if (!list) return ids;
  reserveLarge(ids, list->size());
  for (const Json& id : *list) {
    const boost::json::string* text = id.if_string();
    if (!text) return {};  // one element of another kind spoils the whole list
    ids.emplace_back(text->data(), text->size());
  }
  return ids;
}

std::int64_t startArgument(const Json& command) {
  const Json* member = tolvane::member(command, "start");
  if (!member) return 0;
  if (const std::int64_t* value = member->if_int64()) return *value;
  if (const std::uint64_t* value = member->if_uint64()) {
    return *value <= static_cast<std::uint64_t>(INT64_MAX) ? static_cast<std::int64_t>(*value) : 0;
  }
  if (const double* value = member->if_double()) {
    constexpr double limit = 9223372036854775808.0;  // 2^63
    if (std::isfinite(*value) && std::trunc(*value) == *value && *value >= -limit && *value < limit) {
      return static_cast<std::int64_t>(*value);
    }
  }
  return 0;
}

// The token is kept beyond the command, so it is copied out of the command's storage.
std::optional<Json> tokenArgument(const Json& command) {
  const Json* member = tolvane::member(command, "token");
  if (!member) return std::nullopt;
  return Json(*member, JsonStorage());
}

void merge(JsonObject& answer, const JsonObject& readiness) {
  for (const auto& member : readiness) answer[member.key()] = member.value();
}

// A row reads its own arguments from the command, adds to the answer what it has to, and reports a
// failure of the music service as its result.
using Row = Task<Result<void>> (*)(Player&, const Json& command, JsonObject& answer);

Task<Result<void>> checkRow(Player& player, const Json&, JsonObject& answer) {
  merge(answer, co_await player.check());
  co_return Result<void>{};
}

Task<Result<void>> authorizeRow(Player& player, const Json&, JsonObject& answer) {
  co_await player.service.requestAuthorization();  // the status it answers is read afresh below
  merge(answer, co_await player.check());
  co_return Result<void>{};
}

Task<Result<void>> playRow(Player& player, const Json& command, JsonObject&) {
  // Read in this order: ids, start, token.
  std::vector<std::string> ids = idsArgument(command);
  const std::int64_t start = startArgument(command);
  std::optional<Json> token = tokenArgument(command);
  co_return co_await player.play(std::move(ids), start, std::move(token));
}

Task<Result<void>> stopRow(Player& player, const Json&, JsonObject&) {
  transport::stop(player);
  co_return Result<void>{};
}

Task<Result<void>> pauseRow(Player& player, const Json&, JsonObject&) {
  transport::pause(player);
  co_return Result<void>{};
}

Task<Result<void>> resumeRow(Player& player, const Json&, JsonObject&) { co_return co_await transport::resume(player); }

Task<Result<void>> nextRow(Player& player, const Json&, JsonObject&) { co_return co_await transport::next(player); }

Task<Result<void>> previousRow(Player& player, const Json&, JsonObject&) {
  co_return co_await transport::previous(player);
}

Task<Result<void>> seekRow(Player& player, const Json& command, JsonObject&) {
  transport::seek(player, command);
  co_return Result<void>{};
}

enum class Guard { none, loaded };

struct CommandWord {
  std::string_view type;
  Guard guard;
  Row row;
};

// Tested in this order; the first exact match wins.
constexpr CommandWord commandWords[] = {
    {"check", Guard::none, checkRow}, {"authorize", Guard::none, authorizeRow}, {"play", Guard::none, playRow},
    {"stop", Guard::none, stopRow},   {"pause", Guard::loaded, pauseRow},       {"resume", Guard::loaded, resumeRow},
    {"next", Guard::loaded, nextRow}, {"previous", Guard::loaded, previousRow}, {"seek", Guard::loaded, seekRow},
};

const CommandWord* find(const Json& command) {
  const Json* type = member(command, "type");
  const boost::json::string* text = type ? type->if_string() : nullptr;
  if (!text) return nullptr;
  for (const CommandWord& word : commandWords) {
    if (word.type == std::string_view(*text)) return &word;
  }
  return nullptr;
}

}  // namespace

Task<> Player::handle(Json command) {
  // The answer is made in the command's storage, which outlives both.
  JsonObject answer(command.storage());
  answer.reserve(3);
  answer.emplace("type", "answer");
  // No row reads "id", so it moves from the command into the answer.
  if (JsonObject* members = command.if_object()) {
    if (Json* id = members->if_contains("id")) answer.emplace("id", std::move(*id));
  }

  if (const CommandWord* word = find(command); word == nullptr) {
    answer["error"] = "unknownCommand";
  } else if (word->guard == Guard::loaded && !loaded) {
    answer["error"] = "nothingLoaded";
  } else {
    const Result<void> result = co_await word->row(*this, command, answer);
    if (!result) answer["error"] = tolvane::word(result.error());
  }

  write(Json(std::move(answer)));
  report();
}

}  // namespace tolvane
