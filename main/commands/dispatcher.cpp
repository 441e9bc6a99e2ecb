// The dispatcher: every command reaches Player::handle, which writes exactly one answer for it and
// then a state report.

#include <cmath>
#include <string_view>

#include "commands/transport.h"
#include "music/word.h"
#include "player/player.h"

namespace tolvane {

namespace {

// The arguments of "play". Anything of the wrong kind counts as absent.
std::vector<std::string> idsArgument(const Json& command) {
  std::vector<std::string> ids;
  const auto member = command.find("ids");
  if (member == command.end() || !member->is_array()) return ids;
  ids.reserve(member->size());
  for (const Json& id : *member) {
    if (!id.is_string()) return {};  // one element of another kind spoils the whole list
    ids.push_back(id.get<std::string>());
  }
  return ids;
}

std::int64_t startArgument(const Json& command) {
  const auto member = command.find("start");
  if (member == command.end()) return 0;
  if (member->is_number_integer() && !member->is_number_unsigned()) return member->get<std::int64_t>();
  if (member->is_number_unsigned()) {
    const auto value = member->get<std::uint64_t>();
    return value <= static_cast<std::uint64_t>(INT64_MAX) ? static_cast<std::int64_t>(value) : 0;
  }
  if (member->is_number_float()) {
    const double value = member->get<double>();
    constexpr double limit = 9223372036854775808.0;  // 2^63
    if (std::isfinite(value) && std::trunc(value) == value && value >= -limit && value < limit) {
      return static_cast<std::int64_t>(value);
    }
  }
  return 0;
}

std::optional<Json> tokenArgument(const Json& command) {
  const auto member = command.find("token");
  if (member == command.end()) return std::nullopt;
  return *member;
}

void merge(Json& answer, const Json& readiness) {
  for (const auto& [key, value] : readiness.items()) answer[key] = value;
}

// A row reads its own arguments from the command, adds to the answer what it has to, and reports a
// failure of the music service as its result.
using Row = Task<Result<void>> (*)(Player&, const Json& command, Json& answer);

Task<Result<void>> checkRow(Player& player, const Json&, Json& answer) {
  merge(answer, co_await player.check());
  co_return Result<void>{};
}

Task<Result<void>> authorizeRow(Player& player, const Json&, Json& answer) {
  co_await player.service.requestAuthorization();  // the status it answers is read afresh below
  merge(answer, co_await player.check());
  co_return Result<void>{};
}

Task<Result<void>> playRow(Player& player, const Json& command, Json&) {
  // Read in this order: ids, start, token.
  std::vector<std::string> ids = idsArgument(command);
  const std::int64_t start = startArgument(command);
  std::optional<Json> token = tokenArgument(command);
  co_return co_await player.play(std::move(ids), start, std::move(token));
}

Task<Result<void>> stopRow(Player& player, const Json&, Json&) {
  transport::stop(player);
  co_return Result<void>{};
}

Task<Result<void>> pauseRow(Player& player, const Json&, Json&) {
  transport::pause(player);
  co_return Result<void>{};
}

Task<Result<void>> resumeRow(Player& player, const Json&, Json&) { co_return co_await transport::resume(player); }

Task<Result<void>> nextRow(Player& player, const Json&, Json&) { co_return co_await transport::next(player); }

Task<Result<void>> previousRow(Player& player, const Json&, Json&) { co_return co_await transport::previous(player); }

Task<Result<void>> seekRow(Player& player, const Json& command, Json&) {
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
  const auto type = command.find("type");
  if (type == command.end() || !type->is_string()) return nullptr;
  const auto& text = type->get_ref<const std::string&>();
  for (const CommandWord& word : commandWords) {
    if (word.type == text) return &word;
  }
  return nullptr;
}

}  // namespace

Task<> Player::handle(Json command) {
  Json answer(Json::value_t::object);
  auto& members = answer.get_ref<Json::object_t&>();
  members.emplace("type", "answer");
  // No row reads "id", so it moves from the command into the answer.
  if (auto id = command.find("id"); id != command.end()) members.emplace("id", std::move(*id));

  if (const CommandWord* word = find(command); word == nullptr) {
    answer["error"] = "unknownCommand";
  } else if (word->guard == Guard::loaded && !loaded) {
    answer["error"] = "nothingLoaded";
  } else {
    const Result<void> result = co_await word->row(*this, command, answer);
    if (!result) answer["error"] = tolvane::word(result.error());
  }

  write(answer);
  report();
}

}  // namespace tolvane
