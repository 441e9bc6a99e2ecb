#pragma once

// The tests' view of messages: what a parent reads. A message the program makes is serialised as
// the helper writes it and read back with an independent JSON library, so that tests assert on the
// output itself; a command written by a test goes through the helper's own parser.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/json.h"

namespace tolvane::testing {

using Json = nlohmann::json;

// `message` as a parent reads it. A message that cannot be written fails the test.
inline Json seen(const tolvane::Json& message) {
  const std::optional<std::string> line = serializeMessage(message);
  EXPECT_TRUE(line.has_value()) << "a message that cannot be written";
  return line ? Json::parse(*line) : Json();
}
inline std::optional<Json> seen(const std::optional<tolvane::Json>& message) {
  if (!message) return std::nullopt;
  return seen(*message);
}

// `value` made directly as the program's own value, even where it has no JSON text (a NaN, a
// string that is not UTF-8).
inline tolvane::Json made(const Json& value) {
  switch (value.type()) {
    case Json::value_t::object: {
      JsonObject object;
      for (const auto& [key, member] : value.items()) object[key] = made(member);
      return object;
    }
    case Json::value_t::array: {
      JsonArray array;
      for (const Json& element : value) array.push_back(made(element));
      return array;
    }
    case Json::value_t::string: return tolvane::Json(value.get_ref<const std::string&>());
    case Json::value_t::boolean: return tolvane::Json(value.get<bool>());
    case Json::value_t::number_integer: return tolvane::Json(value.get<std::int64_t>());
    case Json::value_t::number_unsigned: return tolvane::Json(value.get<std::uint64_t>());
    case Json::value_t::number_float: return tolvane::Json(value.get<double>());
    default: return tolvane::Json(nullptr);
  }
}

// `command` as the helper reads it from its input.
inline tolvane::Json command(const Json& text) {
  std::optional<tolvane::Json> parsed = parseObjectLine(text.dump());
  EXPECT_TRUE(parsed.has_value()) << "not a command: " << text.dump();
  return parsed ? std::move(*parsed) : tolvane::Json(JsonObject());
}

}  // namespace tolvane::testing
