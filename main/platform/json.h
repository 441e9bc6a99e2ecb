#pragma once

#include <boost/json/array.hpp>
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/object.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/string.hpp>
#include <boost/json/value.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// A JSON value: string, number (signed or unsigned 64-bit integer, or double), boolean, null,
// array or object with string keys, members in the order they were added. A value's memory comes
// from the storage it was made with (the default heap unless one is given): a value and everything
// moved into it must not outlive that storage.
using Json = boost::json::value;
using JsonObject = boost::json::object;
using JsonArray = boost::json::array;
using JsonStorage = boost::json::storage_ptr;
// Storage that only grows and is given back all at once when it goes: for the values of a batch
// of commands, or of one message.
using JsonArena = boost::json::monotonic_resource;

// The heap, with blocks of 2 MiB and more advised to huge pages (platform/memory.h): the upstream
// of an arena that may hold the values of a very long line.
JsonStorage largeBlockStorage();

// The deepest nesting of arrays and objects that parseObjectLine accepts.
inline constexpr std::size_t maxJsonDepth = 512;

// Parses one line of text (valid UTF-8) as one JSON text whose top-level value is an object, its
// values made in `storage`. Whitespace around the object is allowed, and a byte order mark at the
// very start; anything else after it, a top-level value that is not an object, nesting deeper than
// maxJsonDepth and a number too large for a double all fail. Numbers are read exactly: an integer
// that fits 64 bits stays an integer, any other number is the double nearest to its text. Of
// duplicate keys the last one counts.
std::optional<Json> parseObjectLine(std::string_view text, const JsonStorage& storage = {});

// Serialises a message compactly: no whitespace between tokens, non-ASCII written as UTF-8, "/"
// written as "\/", control characters escaped, a double in its shortest form that reads back as
// the same double, with a fraction or an exponent (1.0, 1e+100). Fails (nullopt) for a non-finite
// number or a string that is not valid UTF-8, so such a message is never written as something else.
std::optional<std::string> serializeMessage(const Json& message);
// The same, appended to `out`; on failure `out` is left as it was.
bool appendMessage(std::string& out, const Json& message);

// A member of `object`, or null when it has none.
inline const Json* member(const Json& object, std::string_view key) {
  const JsonObject* members = object.if_object();
  return members ? members->if_contains(key) : nullptr;
}

}  // namespace tolvane
