#include "platform/utf8.h"

namespace tolvane {

namespace {

struct Sequence {
  std::size_t length;  // of the well-formed sequence, or of its maximal subpart
  bool wellFormed;
};

// The sequence that starts at bytes[i], a byte of 0x80 or above.
Sequence sequenceAt(std::string_view bytes, std::size_t i) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  // Expected length and the allowed range of the first continuation byte (Unicode Table 3-7).
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false};  // a byte that can never start a sequence
  }
  // Take continuation bytes while they fit; a sequence cut short is one maximal subpart.
  std::size_t taken = 1;
  while (taken < length && i + taken < bytes.size()) {
    const auto next = static_cast<unsigned char>(bytes[i + taken]);
    const unsigned char lo = taken == 1 ? low : 0x80;
    const unsigned char hi = taken == 1 ? high : 0xBF;
    if (next < lo || next > hi) break;
    ++taken;
  }
  return {taken, taken == length};
}

// The end of the run of ASCII bytes that starts at bytes[i].
std::size_t asciiRunEnd(std::string_view bytes, std::size_t i) {
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  return i;
}

}  // namespace

std::string decodeUtf8Lossy(std::string_view bytes) {
  static constexpr std::string_view replacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t runEnd = asciiRunEnd(bytes, i);
    out.append(bytes.substr(i, runEnd - i));
    i = runEnd;
    if (i == bytes.size()) break;
    const Sequence sequence = sequenceAt(bytes, i);
    if (sequence.wellFormed) {
      out.append(bytes.substr(i, sequence.length));
    } else {
      out += replacement;
    }
    i += sequence.length;
  }
  return out;
}

bool isWellFormedUtf8(std::string_view bytes) {
  std::size_t i = 0;
  while ((i = asciiRunEnd(bytes, i)) < bytes.size()) {
    const Sequence sequence = sequenceAt(bytes, i);
    if (!sequence.wellFormed) return false;
    i += sequence.length;
  }
  return true;
}

}  // namespace tolvane
