#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// A JSON value: string, number, boolean, null, array or object with string keys.
using Json = nlohmann::json;

// The deepest nesting of arrays and objects that parseLine accepts.
inline constexpr std::size_t maxJsonDepth = 512;

// Parses one line of text (valid UTF-8) as one JSON text whose top-level value is an object.
// Whitespace around the object is allowed; anything else after it, a top-level value that is not an
// object, nesting deeper than maxJsonDepth and a number too large for a double all fail.
std::optional<Json> parseObjectLine(std::string_view text);

// Serialises a message compactly: no whitespace between tokens, non-ASCII written as UTF-8, "/"
// written as "\/", control characters escaped. Fails (nullopt) for a non-finite number or a string
// that is not valid UTF-8, so such a message is never written as something else.
std::optional<std::string> serializeMessage(const Json& message);
// The same, appended to `out`; on failure `out` is left as it was.
bool appendMessage(std::string& out, const Json& message);

}  // namespace tolvane
