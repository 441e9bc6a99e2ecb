#include "platform/utf8.h"

namespace tolvane {

std::string decodeUtf8Lossy(std::string_view bytes) {
  static constexpr std::string_view replacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
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
      out += replacement;  // a byte that can never start a sequence
      ++i;
      continue;
    }
    // Take continuation bytes while they fit; a sequence cut short is one maximal subpart.
    std::size_t taken = 1;
    while (taken < length && i + taken < size) {
      const auto next = static_cast<unsigned char>(bytes[i + taken]);
      const unsigned char lo = taken == 1 ? low : 0x80;
      const unsigned char hi = taken == 1 ? high : 0xBF;
      if (next < lo || next > hi) break;
      ++taken;
    }
    if (taken == length) {
      out.append(bytes.substr(i, length));
    } else {
      out += replacement;
    }
    i += taken;
  }
  return out;
}

}  // namespace tolvane
