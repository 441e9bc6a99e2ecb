#include "platform/json.h"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/memory.h"
#include "platform/utf8.h"

namespace tolvane {

namespace {

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

using boost::json::error_code;
using boost::json::string_view;

// Builds the value as the parser reads it, as Boost's own parser does, except for numbers that
// are not 64-bit integers: their text is read again, exactly, since the library's own reading of
// such a number may be off by a unit in the last place.
struct ValueBuilder {
  static constexpr std::size_t max_object_size = boost::json::object::max_size();
  static constexpr std::size_t max_array_size = boost::json::array::max_size();
  static constexpr std::size_t max_key_size = boost::json::string::max_size();
  static constexpr std::size_t max_string_size = boost::json::string::max_size();

  explicit ValueBuilder(boost::json::storage_ptr temporary) : stack(std::move(temporary)) {}

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_object_begin(error_code&) { return true; }
  bool on_object_end(std::size_t n, error_code&) {
    stack.push_object(n);
    return true;
  }
  bool on_array_begin(error_code&) { return true; }
  bool on_array_end(std::size_t n, error_code&) {
    stack.push_array(n);
    return true;
  }
  bool on_key_part(string_view s, std::size_t, error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_key(string_view s, std::size_t, error_code&) {
    stack.push_key(s);
    return true;
  }
  bool on_string_part(string_view s, std::size_t, error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_string(string_view s, std::size_t, error_code&) {
    stack.push_string(s);
    return true;
  }
  bool on_number_part(string_view s, error_code&) {
    number.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, string_view, error_code&) {
    number.clear();
    stack.push_int64(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, string_view, error_code&) {
    number.clear();
    stack.push_uint64(u);
    return true;
  }
  bool on_double(double, string_view s, error_code& ec) {
    number.append(s.data(), s.size());
    const std::optional<double> exact = readDouble(number);
    number.clear();
    if (!exact) {
      ec = boost::json::error::exponent_overflow;
      return false;
    }
    stack.push_double(*exact);
    return true;
  }
  bool on_bool(bool b, error_code&) {
    stack.push_bool(b);
    return true;
  }
  bool on_null(error_code&) {
    stack.push_null();
    return true;
  }
  bool on_comment_part(string_view, error_code&) { return true; }
  bool on_comment(string_view, error_code&) { return true; }

  // The double nearest to a JSON number's text; nullopt when it is beyond a double's range. A
  // number too small for one is zero (or the nearest subnormal), as in strtod.
  static std::optional<double> readDouble(const std::string& text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc{} && end == text.data() + text.size()) return value;
    if (error != std::errc::result_out_of_range) return std::nullopt;
    value = std::strtod(text.c_str(), nullptr);
    if (std::isinf(value)) return std::nullopt;
    return value;
  }

  boost::json::value_stack stack;
  std::string number;
};

class LargeBlockResource final : public boost::json::memory_resource {
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    void* block = ::operator new(bytes, std::align_val_t(alignment));
    adviseHugePages(block, bytes);
    return block;
  }
  // Unsized: the monotonic resource of Boost 1.81 gives back a block with a size smaller than the
  // one it asked for.
  void do_deallocate(void* block, std::size_t, std::size_t alignment) override {
    ::operator delete(block, std::align_val_t(alignment));
  }
  bool do_is_equal(const memory_resource& other) const noexcept override { return this == &other; }
};

// A parser kept from line to line on each thread that parses, so that its stacks are allocated
// once, not per line.
class LineParser {
 public:
  // The stacks grow by doubling as the line is read, each time into a fresh block.
  LineParser() : parser_(options(), largeBlockStorage()) {}

  std::optional<Json> parse(std::string_view text, const JsonStorage& storage) {
    parser_.reset();
    parser_.handler().number.clear();
    parser_.handler().stack.reset(storage);
    error_code error;
    const std::size_t used = parser_.write_some(false, text.data(), text.size(), error);
    if (error || !parser_.done()) return std::nullopt;
    // Only whitespace may follow the value.
    if (text.find_first_not_of(" \t\r\n", used) != std::string_view::npos) return std::nullopt;
    Json value = parser_.handler().stack.release();
    if (!value.is_object()) return std::nullopt;
    return value;
  }

 private:
  static boost::json::parse_options options() {
    boost::json::parse_options options;
    options.max_depth = maxJsonDepth;
    return options;
  }
  boost::json::basic_parser<ValueBuilder> parser_;
};

// Appends `number` as nlohmann::json writes doubles: the shortest digits that read back as the
// same double, laid out as a plain decimal with at least one fractional digit when its decimal
// exponent allows (1.0, 0.0001, 123456789012345.0), else in scientific form with a sign and at
// least two exponent digits (1e+16, 1.5e-05).
void appendDouble(std::string& out, double number) {
  if (std::signbit(number)) {
    out += '-';
    number = -number;
  }
  if (number == 0) {
    out += "0.0";
    return;
  }
  // Shortest round-trip digits, as d.ddde±x.
  char scientific[32];
  const auto [end, error] =
      std::to_chars(scientific, scientific + sizeof scientific, number, std::chars_format::scientific);
  const std::string_view text(scientific, static_cast<std::size_t>(end - scientific));
  const std::size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e))
    if (c != '.') digits += c;
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
  constexpr int minExponent = -4;
  constexpr int maxExponent = 15;
  const int k = static_cast<int>(digits.size());
  const int n = exponent + 1;  // the position of the decimal point relative to the digits
  if (k <= n && n <= maxExponent) {
    out += digits;
    out.append(static_cast<std::size_t>(n - k), '0');
    out += ".0";
  } else if (0 < n && n <= maxExponent) {
    out.append(digits, 0, static_cast<std::size_t>(n));
    out += '.';
    out.append(digits, static_cast<std::size_t>(n));
  } else if (minExponent < n && n <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-n), '0');
    out += digits;
  } else {
    out += digits[0];
    if (k > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  }
}

// The writer of messages: one pass that appends straight to the output, checking as it goes.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  bool value(const Json& value) {
    switch (value.kind()) {
      case boost::json::kind::object: {
        out_ += '{';
        bool first = true;
        for (const auto& member : value.get_object()) {
          if (!first) out_ += ',';
          first = false;
          if (!string(member.key())) return false;
          out_ += ':';
          if (!this->value(member.value())) return false;
        }
        out_ += '}';
        return true;
      }
      case boost::json::kind::array: {
        out_ += '[';
        bool first = true;
        for (const Json& element : value.get_array()) {
          if (!first) out_ += ',';
          first = false;
          if (!this->value(element)) return false;
        }
        out_ += ']';
        return true;
      }
      case boost::json::kind::string: return string(value.get_string());
      case boost::json::kind::bool_: out_ += value.get_bool() ? "true" : "false"; return true;
      case boost::json::kind::null: out_ += "null"; return true;
      case boost::json::kind::int64: return integer(value.get_int64());
      case boost::json::kind::uint64: return integer(value.get_uint64());
      case boost::json::kind::double_: {
        // Non-finite numbers have no JSON form.
        const double number = value.get_double();
        if (!std::isfinite(number)) return false;
        appendDouble(out_, number);
        return true;
      }
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

JsonStorage largeBlockStorage() {
  // Never destroyed: a thread's parser may give its stacks back after static destructors have run.
  union Immortal {
    Immortal() : resource() {}
    ~Immortal() {}
    LargeBlockResource resource;
  };
  static Immortal kept;
  return JsonStorage(&kept.resource);
}

std::optional<Json> parseObjectLine(std::string_view text, const JsonStorage& storage) {
  // A raw NUL is never part of a JSON text, inside a string or out.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  // A byte order mark at the very start is skipped, as parents whose tools write one expect.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  // The parser's stacks grow with the line and are kept for the next one; a very long line gets a
  // parser of its own, so that what it grew goes back at once.
  constexpr std::size_t keptLineSize = 64 * 1024;
  thread_local LineParser keptParser;
  std::optional<LineParser> ownParser;
  LineParser& parser = text.size() <= keptLineSize ? keptParser : ownParser.emplace();
  if (std::optional<std::string> repaired = withSurrogatesPaired(text)) return parser.parse(*repaired, storage);
  return parser.parse(text, storage);
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
