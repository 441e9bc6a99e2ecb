#include "support/audio_files.h"

#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace tolvane::testing {

namespace {

// Runs a program and waits for it; false unless it exits with status 0.
bool runProgram(std::vector<std::string> words) {
  const pid_t pid = startQuietly(std::move(words));
  if (pid < 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TagLib::String utf8(const std::string& text) { return TagLib::String(text, TagLib::String::UTF8); }

}  // namespace

pid_t startQuietly(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

const char* extensionOf(AudioFormat format) {
  switch (format) {
    case AudioFormat::flac: return "flac";
    case AudioFormat::vorbis: return "ogg";
    case AudioFormat::opus: return "opus";
    case AudioFormat::mp3: return "mp3";
  }
  return "";
}

void writeToneWav(const std::string& path, double seconds, double frequency, int channels) {
  constexpr int rate = 44100;
  const auto frames = static_cast<std::uint32_t>(seconds * rate);
  const auto frameBytes = static_cast<std::uint32_t>(2 * channels);
  std::string data;
  data.reserve(frames * frameBytes);
  for (std::uint32_t i = 0; i < frames; ++i) {
    const auto sample = static_cast<std::int16_t>(std::lround(8000.0 * std::sin(2.0 * M_PI * frequency * i / rate)));
    for (int channel = 0; channel < channels; ++channel) {
      data += static_cast<char>(sample & 0xff);
      data += static_cast<char>((sample >> 8) & 0xff);
    }
  }
  const auto le32 = [](std::uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
  };
  const auto le16 = [](std::uint32_t v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; };
  const std::string header = "RIFF" + le32(36 + static_cast<std::uint32_t>(data.size())) + "WAVEfmt " + le32(16) +
                             le16(1) + le16(static_cast<std::uint32_t>(channels)) + le32(rate) +
                             le32(rate * frameBytes) + le16(frameBytes) + le16(16) + "data" +
                             le32(static_cast<std::uint32_t>(data.size()));
  writeFile(path, header + data);
}

void makeAudioFile(const std::string& path, AudioFormat format, double seconds, double frequency, int channels) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  const std::string wav = path + ".source.wav";
  writeToneWav(wav, seconds, frequency, channels);
  bool ok = false;
  switch (format) {
    case AudioFormat::flac: ok = runProgram({"flac", "-s", "-f", "-o", path, wav}); break;
    case AudioFormat::vorbis: ok = runProgram({"oggenc", "-Q", "-o", path, wav}); break;
    case AudioFormat::opus: ok = runProgram({"opusenc", "--quiet", wav, path}); break;
    case AudioFormat::mp3: ok = runProgram({"lame", "--silent", "-b", "128", wav, path}); break;
  }
  std::filesystem::remove(wav);
  ASSERT_TRUE(ok) << "encoding " << path << " failed";
}

void tagFile(const std::string& path, const Tags& tags) {
  TagLib::FileRef ref(path.c_str());
  ASSERT_FALSE(ref.isNull()) << path;
  TagLib::PropertyMap properties;
  const auto set = [&](const char* key, const std::optional<std::string>& value) {
    if (value) properties.replace(key, TagLib::StringList(utf8(*value)));
  };
  set("TITLE", tags.title);
  set("ARTIST", tags.artist);
  set("ALBUMARTIST", tags.albumArtist);
  set("ALBUM", tags.album);
  if (tags.track > 0) properties.replace("TRACKNUMBER", TagLib::StringList(TagLib::String::number(tags.track)));
  if (tags.disc > 0) properties.replace("DISCNUMBER", TagLib::StringList(TagLib::String::number(tags.disc)));
  ref.file()->setProperties(properties);
  ASSERT_TRUE(ref.save()) << path;
}

std::string makePicture(int width, int height, const char* type, std::uint32_t rgba) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  gdk_pixbuf_fill(pixbuf, rgba);
  gchar* buffer = nullptr;
  gsize size = 0;
  const bool saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, type, nullptr, nullptr);
  g_object_unref(pixbuf);
  std::string bytes = saved ? std::string(buffer, size) : std::string();
  g_free(buffer);
  return bytes;
}

void embedPicture(const std::string& path, const std::string& bytes, const std::string& mime, bool frontCover) {
  const TagLib::ByteVector data(bytes.data(), static_cast<unsigned>(bytes.size()));
  // TagLib takes ownership of what is added to a file.
  const auto flacPicture = [&] {
    auto picture = std::make_unique<TagLib::FLAC::Picture>();
    picture->setType(frontCover ? TagLib::FLAC::Picture::FrontCover : TagLib::FLAC::Picture::Artist);
    picture->setMimeType(mime);
    picture->setData(data);
    return picture.release();
  };
  TagLib::FileRef ref(path.c_str());
  ASSERT_FALSE(ref.isNull()) << path;
  if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(ref.file())) {
    flac->addPicture(flacPicture());
  } else if (auto* vorbis = dynamic_cast<TagLib::Ogg::Vorbis::File*>(ref.file())) {
    vorbis->tag()->addPicture(flacPicture());
  } else if (auto* opus = dynamic_cast<TagLib::Ogg::Opus::File*>(ref.file())) {
    opus->tag()->addPicture(flacPicture());
  } else if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(ref.file())) {
    auto frame = std::make_unique<TagLib::ID3v2::AttachedPictureFrame>();
    frame->setType(frontCover ? TagLib::ID3v2::AttachedPictureFrame::FrontCover
                              : TagLib::ID3v2::AttachedPictureFrame::Artist);
    frame->setMimeType(mime);
    frame->setPicture(data);
    mpeg->ID3v2Tag(true)->addFrame(frame.release());
  } else {
    FAIL() << "no picture support for " << path;
  }
  ASSERT_TRUE(ref.save()) << path;
}

std::optional<std::pair<int, int>> pictureSize(const std::string& path) {
  int width = 0, height = 0;
  if (!gdk_pixbuf_get_file_info(path.c_str(), &width, &height)) return std::nullopt;
  return std::pair{width, height};
}

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  // Folders a test made unreadable are made readable again, so that they can be removed.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::string TemporaryFolder::file(const std::string& relative) const {
  const std::filesystem::path full = std::filesystem::path(path_) / relative;
  std::filesystem::create_directories(full.parent_path());
  return full.string();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tolvane::testing
