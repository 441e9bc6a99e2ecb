#pragma once

// Audio files made at test time: sine tones encoded with Debian's command-line encoders, tagged and
// given pictures with TagLib. Nothing is downloaded and nothing is committed.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::testing {

// Starts a program (found on PATH) with its standard output and error thrown away: its pid, or -1.
pid_t startQuietly(std::vector<std::string> words);

enum class AudioFormat { flac, vorbis, opus, mp3 };

// The usual file name extension of the format, without the dot.
const char* extensionOf(AudioFormat format);

// A 16-bit WAV file of a sine tone at 44.1 kHz, the same in each of its `channels`.
void writeToneWav(const std::string& path, double seconds, double frequency = 440.0, int channels = 1);

// An audio file of `format` at `path` holding a tone; the test fails when the encoder does.
void makeAudioFile(const std::string& path, AudioFormat format, double seconds = 1.0, double frequency = 440.0,
                   int channels = 1);

struct Tags {
  std::optional<std::string> title;
  std::optional<std::string> artist;
  std::optional<std::string> albumArtist;
  std::optional<std::string> album;
  int track = 0;
  int disc = 0;
};

// Replaces the file's tags with `tags` (absent ones removed).
void tagFile(const std::string& path, const Tags& tags);

// The encoded bytes of a picture of one colour ("png" or "jpeg").
std::string makePicture(int width, int height, const char* type = "png", std::uint32_t rgba = 0x3366ccff);

// Embeds `bytes` (of `mime` type) in the file as its front cover, or as another kind of picture.
void embedPicture(const std::string& path, const std::string& bytes, const std::string& mime, bool frontCover = true);

// Width and height of a picture file, or nullopt when it cannot be decoded.
std::optional<std::pair<int, int>> pictureSize(const std::string& path);

// A fresh folder below the system's temporary folder, removed with everything in it.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }
  // `relative` below the folder, its parent folders made.
  std::string file(const std::string& relative) const;

 private:
  std::string path_;
};

// Writes `bytes` to `path`.
void writeFile(const std::string& path, const std::string& bytes);

}  // namespace tolvane::testing
