#include "music_service/library/tag_reader.h"

#include <taglib/aifffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/oggflacfile.h>
#include <taglib/opusfile.h>
#include <taglib/tag.h>
#include <taglib/tdebuglistener.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>

#include "platform/utf8.h"

namespace tolvane {

namespace {

std::string utf8(const TagLib::String& text) {
  // TagLib decodes each tag's own encoding; what it could not decode still passes through the
  // lossy decoder, so that nothing but valid UTF-8 leaves here.
  return decodeUtf8Lossy(text.to8Bit(true));
}

std::string bytesOf(const TagLib::ByteVector& data) { return std::string(data.data(), data.size()); }

// The leading number of "3" or "3/12".
std::int64_t leadingNumber(const TagLib::String& text) {
  const std::string digits = text.to8Bit(false);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return error == std::errc{} && value > 0 ? value : 0;
}

std::string pictureOf(const TagLib::ID3v2::Tag* tag) {
  if (!tag) return {};
  const auto& frames = tag->frameListMap()["APIC"];
  std::string first;
  for (const auto* frame : frames) {
    const auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame);
    if (!picture) continue;
    if (picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover) return bytesOf(picture->picture());
    if (first.empty()) first = bytesOf(picture->picture());
  }
  return first;
}

std::string pictureOf(const TagLib::List<TagLib::FLAC::Picture*>& pictures) {
  std::string first;
  for (const auto* picture : pictures) {
    if (picture->type() == TagLib::FLAC::Picture::FrontCover) return bytesOf(picture->data());
    if (first.empty()) first = bytesOf(picture->data());
  }
  return first;
}

std::string pictureOf(TagLib::Ogg::XiphComment* comment) {
  return comment ? pictureOf(comment->pictureList()) : std::string();
}

std::string embeddedPicture(TagLib::File* file) {
  if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
    std::string picture = pictureOf(flac->pictureList());
    if (picture.empty()) picture = pictureOf(flac->xiphComment());
    if (picture.empty() && flac->hasID3v2Tag()) picture = pictureOf(flac->ID3v2Tag());
    return picture;
  }
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file))
    return mpeg->hasID3v2Tag() ? pictureOf(mpeg->ID3v2Tag()) : "";
  if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) {
    if (!mp4->tag() || !mp4->tag()->contains("covr")) return {};
    const auto covers = mp4->tag()->item("covr").toCoverArtList();
    return covers.isEmpty() ? std::string() : bytesOf(covers.front().data());
  }
  if (auto* vorbis = dynamic_cast<TagLib::Ogg::Vorbis::File*>(file)) return pictureOf(vorbis->tag());
  if (auto* opus = dynamic_cast<TagLib::Ogg::Opus::File*>(file)) return pictureOf(opus->tag());
  if (auto* oggFlac = dynamic_cast<TagLib::Ogg::FLAC::File*>(file)) return pictureOf(oggFlac->tag());
  if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file))
    return wav->hasID3v2Tag() ? pictureOf(wav->ID3v2Tag()) : "";
  if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file))
    return aiff->hasID3v2Tag() ? pictureOf(aiff->tag()) : "";
  return {};
}

std::string lowerExtension(const std::string& path) {
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string extension = path.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

}  // namespace

bool isAudioFileName(const std::string& path) {
  static const std::set<std::string> extensions = [] {
    std::set<std::string> names;
    for (const auto& name : TagLib::FileRef::defaultFileExtensions()) names.insert(name.to8Bit(false));
    return names;
  }();
  return extensions.contains(lowerExtension(path));
}

// TagLib's complaints about odd files would go to standard error, which is not ours to write.
class SilentListener final : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String&) override {}
};

std::optional<FileTags> readFileTags(const std::string& path) {
  static SilentListener silent;
  static const bool silenced = (TagLib::setDebugListener(&silent), true);
  (void)silenced;
  TagLib::FileRef ref(path.c_str(), true, TagLib::AudioProperties::Average);
  if (ref.isNull() || !ref.file()->isValid() || !ref.audioProperties()) return std::nullopt;
  const TagLib::AudioProperties* audio = ref.audioProperties();
  // A file whose headers give neither a sample rate nor a length holds no audio we could play.
  if (audio->sampleRate() <= 0 && audio->lengthInMilliseconds() <= 0) return std::nullopt;

  FileTags tags;
  tags.durationMs = std::max(0, audio->lengthInMilliseconds());
  if (const TagLib::Tag* tag = ref.tag()) {
    tags.title = utf8(tag->title());
    tags.artist = utf8(tag->artist());
    tags.album = utf8(tag->album());
    tags.track = tag->track();
  }
  const TagLib::PropertyMap properties = ref.file()->properties();
  if (const auto it = properties.find("ALBUMARTIST"); it != properties.end() && !it->second.isEmpty()) {
    tags.albumArtist = utf8(it->second.front());
  }
  if (const auto it = properties.find("DISCNUMBER"); it != properties.end() && !it->second.isEmpty()) {
    tags.disc = leadingNumber(it->second.front());
  }
  tags.picture = embeddedPicture(ref.file());
  return tags;
}

}  // namespace tolvane
