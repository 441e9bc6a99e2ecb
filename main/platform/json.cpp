#include "platform/json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/utf8.h"

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

// The value of the four hex digits at `text[at]`, or -1.
int hexQuad(std::string_view text, std::size_t at) {
  if (at + 4 > text.size()) return -1;
  int value = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const char c = text[i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

bool isHighSurrogate(int unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(int unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The text with every escape of an unpaired surrogate (a high one not followed by an escaped low
// one, or a low one on its own) replaced by the escape of U+FFFD: the grammar allows them, the
// parser does not, and a code point that cannot be encoded is replaced, as in ill-formed UTF-8.
// Nullopt when there is none, which is almost always: then nothing is copied.
std::optional<std::string> withSurrogatesPaired(std::string_view text) {
  if (text.find("\\u") == std::string_view::npos) return std::nullopt;
  std::optional<std::string> repaired;
  std::size_t copied = 0;  // text before this has been appended to `repaired`
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!inString) {
      inString = c == '"';
      continue;
    }
    if (c == '"') {
      inString = false;
      continue;
    }
    if (c != '\\' || i + 1 >= text.size()) continue;
    if (text[i + 1] != 'u') {
      ++i;  // a two-character escape; an invalid one is left to the parser
      continue;
    }
    const int unit = hexQuad(text, i + 2);
    if (isHighSurrogate(unit) && text.substr(i + 6, 2) == "\\u" && isLowSurrogate(hexQuad(text, i + 8))) {
      i += 11;  // a pair
      continue;
    }
    if (!isHighSurrogate(unit) && !isLowSurrogate(unit)) {
      if (unit >= 0) i += 5;
      continue;
    }
    if (!repaired) repaired.emplace().reserve(text.size());
    repaired->append(text.substr(copied, i - copied));
    repaired->append("\\ufffd");
    copied = i + 6;
    i += 5;
  }
  if (repaired) repaired->append(text.substr(copied));
  return repaired;
}

// The writer of messages: one pass that appends straight to the output, checking as it goes.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  bool value(const Json& value) {
    switch (value.type()) {
      case Json::value_t::object: {
        out_ += '{';
        bool first = true;
        for (const auto& [key, member] : value.get_ref<const Json::object_t&>()) {
          if (!first) out_ += ',';
          first = false;
          if (!string(key)) return false;
          out_ += ':';
          if (!this->value(member)) return false;
        }
        out_ += '}';
        return true;
      }
      case Json::value_t::array: {
        out_ += '[';
        bool first = true;
        for (const Json& element : value.get_ref<const Json::array_t&>()) {
          if (!first) out_ += ',';
          first = false;
          if (!this->value(element)) return false;
        }
        out_ += ']';
        return true;
      }
      case Json::value_t::string: return string(value.get_ref<const std::string&>());
      case Json::value_t::boolean: out_ += value.get<bool>() ? "true" : "false"; return true;
      case Json::value_t::null: out_ += "null"; return true;
      case Json::value_t::number_integer: return integer(value.get<std::int64_t>());
      case Json::value_t::number_unsigned: return integer(value.get<std::uint64_t>());
      case Json::value_t::number_float: {
        // Non-finite numbers have no JSON form. A finite one is written in the JSON library's own
        // shortest round-trip form (1.0 stays "1.0"); numbers of this kind are rare in messages.
        const double number = value.get<double>();
        if (!std::isfinite(number)) return false;
        out_ += value.dump();
        return true;
      }
      case Json::value_t::binary:
      case Json::value_t::discarded: return false;
    }
    return false;
  }

 private:
  template <typename Integer>
  bool integer(Integer number) {
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, number);
    out_.append(digits, end);
    return error == std::errc{};
  }

  // Escapes quotes, backslashes, slashes and control characters; everything else is written as
  // its own UTF-8. A string that is not well-formed UTF-8 fails the message.
  bool string(std::string_view text) {
    if (!isWellFormedUtf8(text)) return false;
    static constexpr char hex[] = "0123456789abcdef";
    out_ += '"';
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      std::string_view escape;
      switch (c) {
        case '"': escape = "\\\""; break;
        case '\\': escape = "\\\\"; break;
        case '/': escape = "\\/"; break;
        case '\b': escape = "\\b"; break;
        case '\f': escape = "\\f"; break;
        case '\n': escape = "\\n"; break;
        case '\r': escape = "\\r"; break;
        case '\t': escape = "\\t"; break;
        default:
          if (c >= 0x20) continue;
          break;
      }
      out_.append(text.substr(run, i - run));
      if (escape.empty()) {
        const char unicode[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        out_.append(unicode, sizeof unicode);
      } else {
        out_ += escape;
      }
      run = i + 1;
    }
    out_.append(text.substr(run));
    out_ += '"';
    return true;
  }

  std::string& out_;
};

}  // namespace

std::optional<Json> parseObjectLine(std::string_view text) {
  // The parser takes a NUL byte for the end of its input, which would let anything after one
  // through. A raw NUL is never part of a JSON text, inside a string or out.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (!withinDepth(text)) return std::nullopt;
  if (std::optional<std::string> repaired = withSurrogatesPaired(text)) return parseObjectLine(*repaired);
  // Without exceptions: a syntax error, trailing content, or a number out of a double's range
  // (nlohmann reports those as a parse error) gives a discarded value. A byte order mark at the
  // very start is skipped, as parents whose tools write one expect.
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false,
                           /*ignore_comments=*/false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

bool appendMessage(std::string& out, const Json& message) {
  const std::size_t size = out.size();
  if (Writer(out).value(message)) return true;
  out.resize(size);
  return false;
}

std::optional<std::string> serializeMessage(const Json& message) {
  std::string text;
  if (!appendMessage(text, message)) return std::nullopt;
  return text;
}

}  // namespace tolvane
