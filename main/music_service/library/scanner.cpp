#include "music_service/library/scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "music_service/library/tag_reader.h"

namespace tolvane {

namespace {

constexpr std::size_t batchFiles = 256;
constexpr auto batchTime = std::chrono::seconds(1);

// An exclusive lock on a file beside the index, held for the whole scan.
class ScanLock {
 public:
  explicit ScanLock(const std::string& indexFile)
      : fd_(::open((indexFile + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~ScanLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  ScanLock(const ScanLock&) = delete;
  ScanLock& operator=(const ScanLock&) = delete;

 private:
  int fd_;
};

FileStamp stampOf(const struct stat& info) {
  return FileStamp{static_cast<std::int64_t>(info.st_size),
                   static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

struct Found {
  std::string relative;
  FileStamp stamp;
};

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

class Walker {
 public:
  explicit Walker(std::string root) : root_(std::move(root)) {}

  // Every audio file below the root, following links, each folder once; hidden entries skipped.
  std::vector<Found> walk() {
    std::vector<Found> found;
    visit("", found);
    return found;
  }

  // The folder's cover picture file (cover, folder or front, .jpg/.jpeg/.png, any case), if any.
  std::optional<std::string> folderCover(const std::string& folderRelative) {
    const auto it = covers_.find(folderRelative);
    return it == covers_.end() ? std::nullopt : std::optional(it->second);
  }

 private:
  void visit(const std::string& relative, std::vector<Found>& found) {
    const std::string path = relative.empty() ? root_ : root_ + "/" + relative;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return;
    if (!visited_.emplace(info.st_dev, info.st_ino).second) return;  // seen: a link loop, or a second way in
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;  // hidden, and . and ..
      names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());  // the same order on every scan
    for (const std::string& name : names) {
      const std::string childRelative = relative.empty() ? name : relative + "/" + name;
      const std::string childPath = root_ + "/" + childRelative;
      struct stat child {};
      if (::stat(childPath.c_str(), &child) != 0) continue;  // a dangling link
      if (S_ISDIR(child.st_mode)) {
        visit(childRelative, found);
      } else if (S_ISREG(child.st_mode)) {
        if (isAudioFileName(name)) {
          found.push_back(Found{childRelative, stampOf(child)});
        } else if (isCoverName(name) && !covers_.contains(relative)) {
          covers_[relative] = childPath;
        }
      }
    }
  }

  static bool isCoverName(const std::string& name) {
    static const std::set<std::string> names = {"cover.jpg",  "cover.jpeg", "cover.png",  "folder.jpg", "folder.jpeg",
                                                "folder.png", "front.jpg",  "front.jpeg", "front.png"};
    return names.contains(lower(name));
  }

  std::string root_;
  std::set<std::pair<dev_t, ino_t>> visited_;
  std::map<std::string, std::string> covers_;  // by the folder's relative path
};

std::string folderOf(const std::string& relative) {
  const auto slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

}  // namespace

Result<ScanCounts> scanLibrary(const std::string& root, const std::string& indexFile, const ArtworkStore& artwork,
                               const ScanProgress& progress) {
  ScanLock lock(indexFile);
  Result<LibraryIndex> opened = LibraryIndex::open(indexFile, root);
  if (!opened) return opened.error();
  LibraryIndex& index = opened.value();
  Result<std::unordered_map<std::string, KnownFile>> known = index.knownFiles();
  if (!known) return known.error();

  Walker walker(root);
  const std::vector<Found> found = walker.walk();
  ScanCounts counts;
  counts.seen = found.size();

  std::size_t inBatch = 0;
  auto batchStarted = std::chrono::steady_clock::now();
  const auto commitIfDue = [&](bool force) -> Result<void> {
    if (inBatch == 0) return {};
    if (!force && inBatch < batchFiles && std::chrono::steady_clock::now() - batchStarted < batchTime) return {};
    if (auto r = index.commit(); !r) return r;
    inBatch = 0;
    if (progress) progress(counts);
    return {};
  };
  const auto write = [&]() -> Result<void> {
    if (inBatch++ == 0) {
      batchStarted = std::chrono::steady_clock::now();
      return index.begin();
    }
    return {};
  };

  std::set<std::string> present;
  for (const Found& file : found) {
    present.insert(file.relative);
    const auto it = known.value().find(file.relative);
    const bool wasSong = it != known.value().end() && it->second.song;
    if (it != known.value().end() && it->second.stamp == file.stamp) {  // unchanged: not opened
      ++(wasSong ? counts.indexed : counts.skipped);
      continue;
    }
    const std::string path = root + "/" + file.relative;
    if (::access(path.c_str(), R_OK) != 0) {
      // Not remembered as skipped: it is read as soon as it may be, without waiting for a change.
      ++(wasSong ? counts.indexed : counts.skipped);
      continue;
    }
    ++counts.read;
    std::optional<FileTags> tags = readFileTags(path);
    ++(tags ? counts.indexed : counts.skipped);
    if (progress) progress(counts);
    if (auto r = write(); !r) return r.error();
    if (!tags) {
      if (auto r = index.putSkipped(file.relative, file.stamp); !r) return r.error();
    } else {
      std::optional<std::string> cover = artwork.store(tags->picture);
      if (!cover) {
        if (const auto folderPicture = walker.folderCover(folderOf(file.relative)))
          cover = artwork.storeFile(*folderPicture);
      }
      if (auto r = index.putSong(file.relative, file.stamp, *tags, cover); !r) return r.error();
    }
    if (auto r = commitIfDue(false); !r) return r.error();
  }
  for (const auto& [path, file] : known.value()) {
    if (present.contains(path)) continue;
    if (auto r = write(); !r) return r.error();
    if (auto r = index.remove(path); !r) return r.error();
    ++counts.removed;
    if (auto r = commitIfDue(false); !r) return r.error();
  }
  if (auto r = commitIfDue(true); !r) return r.error();

  if (progress) progress(counts);
  return counts;
}

}  // namespace tolvane
