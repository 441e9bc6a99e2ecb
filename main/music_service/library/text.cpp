#include "music_service/library/text.h"

#include <glib.h>

#include <memory>

namespace tolvane {

namespace {
struct FreeGLib {
  void operator()(gchar* text) const { g_free(text); }
};
using GLibText = std::unique_ptr<gchar, FreeGLib>;
}  // namespace

std::string searchKey(std::string_view text) {
  GLibText decomposed(g_utf8_normalize(text.data(), static_cast<gssize>(text.size()), G_NORMALIZE_NFKD));
  if (!decomposed) return {};
  std::string bare;
  for (const gchar* p = decomposed.get(); *p; p = g_utf8_next_char(p)) {
    const gunichar c = g_utf8_get_char(p);
    if (g_unichar_ismark(c)) continue;
    char bytes[6];
    bare.append(bytes, static_cast<std::size_t>(g_unichar_to_utf8(c, bytes)));
  }
  GLibText folded(g_utf8_casefold(bare.data(), static_cast<gssize>(bare.size())));
  return folded ? std::string(folded.get()) : std::string();
}

std::int64_t songIdOf(std::string_view relativePath, int attempt) {
  // FNV-1a over the path's bytes, then the attempt's, kept to 63 bits and never 0.
  std::uint64_t hash = 14695981039346656037ull;
  const auto mix = [&hash](unsigned char byte) {
    hash ^= byte;
    hash *= 1099511628211ull;
  };
  for (const char c : relativePath) mix(static_cast<unsigned char>(c));
  if (attempt > 0) {
    mix(0);
    for (int shift = 0; shift < 32; shift += 8) mix(static_cast<unsigned char>(attempt >> shift));
  }
  // A final avalanche, so that paths that differ in their last byte differ in every digit.
  hash ^= hash >> 33;
  hash *= 0xff51afd7ed558ccdull;
  hash ^= hash >> 33;
  const auto id = static_cast<std::int64_t>(hash & 0x7fffffffffffffffull);
  return id == 0 ? 1 : id;
}

std::string fileUrl(std::string_view absolutePath) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (const char c : absolutePath) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
                       byte == '-' || byte == '.' || byte == '_' || byte == '~' || byte == '/';
    if (plain) {
      url += c;
    } else {
      url += '%';
      url += hex[byte >> 4];
      url += hex[byte & 0xF];
    }
  }
  return url;
}

}  // namespace tolvane
