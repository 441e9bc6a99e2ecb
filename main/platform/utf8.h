#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// Decodes bytes as UTF-8 and returns them as well-formed UTF-8: every ill-formed sequence becomes
// U+FFFD, one for each maximal subpart (the practice of the WHATWG decoder and the Unicode
// Standard). A byte order mark is kept as U+FEFF.
std::string decodeUtf8Lossy(std::string_view bytes);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isWellFormedUtf8(std::string_view bytes);

}  // namespace tolvane
