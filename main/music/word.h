#pragma once

// `word`: the text of a value for the messages: its default textual description, with every "."
// removed from both ends. Header-only, so that every layer that names a status or an error in a
// message can use it.

#include <string>
#include <string_view>

#include "music_service/music_service.h"
#include "platform/error.h"

namespace tolvane {

// Removes every "." at the start and at the end; nothing else, not even spaces.
inline std::string trimDots(std::string_view text) {
  const auto first = text.find_first_not_of('.');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of('.');
  return std::string(text.substr(first, last - first + 1));
}

inline std::string describe(std::string_view text) { return std::string(text); }

template <typename T>
std::string word(const T& value) {
  return trimDots(describe(value));
}

}  // namespace tolvane
