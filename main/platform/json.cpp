#include "platform/json.h"

#include <cmath>
#include <vector>

namespace tolvane {

namespace {

// True when the arrays and objects of `text` nest no deeper than maxJsonDepth. Brackets inside
// strings do not count. The parser itself would accept any depth.
bool withinDepth(std::string_view text) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"': inString = true; break;
      case '[':
      case '{':
        if (++depth > maxJsonDepth) return false;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default: break;
    }
  }
  return true;
}

bool allNumbersFinite(const Json& root) {
  std::vector<const Json*> pending{&root};
  while (!pending.empty()) {
    const Json* value = pending.back();
    pending.pop_back();
    if (value->is_number_float() && !std::isfinite(value->get<double>())) return false;
    if (value->is_structured()) {
      for (const auto& child : *value) pending.push_back(&child);
    }
  }
  return true;
}

}  // namespace

std::optional<Json> parseObjectLine(std::string_view text) {
  // The parser takes a NUL byte for the end of its input, which would let anything after one
  // through. A raw NUL is never part of a JSON text, inside a string or out.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (!withinDepth(text)) return std::nullopt;
  // Without exceptions: a syntax error, trailing content, or a number out of a double's range
  // (nlohmann reports those as a parse error) gives a discarded value. A byte order mark at the
  // very start is skipped, as parents whose tools write one expect.
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false,
                           /*ignore_comments=*/false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

std::optional<std::string> serializeMessage(const Json& message) {
  if (!allNumbersFinite(message)) return std::nullopt;
  std::string text;
  try {
    text = message.dump(-1, ' ', /*ensure_ascii=*/false, Json::error_handler_t::strict);
  } catch (const Json::type_error&) {
    return std::nullopt;  // a string that is not valid UTF-8
  }
  // Outside strings compact JSON holds no "/", so every one of them is inside a string.
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace tolvane
