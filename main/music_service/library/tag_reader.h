#pragma once

// What an audio file says about itself, read with TagLib.

#include <cstdint>
#include <optional>
#include <string>

namespace tolvane {

struct FileTags {
  // Texts as the tags give them, in UTF-8; empty when absent.
  std::string title;
  std::string artist;
  std::string albumArtist;
  std::string album;
  std::int64_t disc = 0;
  std::int64_t track = 0;
  std::int64_t durationMs = 0;  // 0 when unknown
  // The encoded bytes of the embedded front cover, else of the first embedded picture; empty when
  // the file has none.
  std::string picture;
};

// True when TagLib can read files named like `path` (by extension, in any case).
bool isAudioFileName(const std::string& path);

// The tags of the audio file at `path`; nullopt when it cannot be read or is not audio after all.
std::optional<FileTags> readFileTags(const std::string& path);

}  // namespace tolvane
