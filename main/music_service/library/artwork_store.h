#pragma once

// Cover pictures, scaled to fit 600 x 600 and kept once each as a JPEG in a folder of the cache.

#include <optional>
#include <string>

namespace tolvane {

class ArtworkStore {
 public:
  static constexpr int largestSide = 600;

  // Pictures are kept in `folder`, which is made when the first picture is stored.
  explicit ArtworkStore(std::string folder) : folder_(std::move(folder)) {}

  // The path of the stored JPEG of the picture whose encoded bytes are `picture` (any format
  // GdkPixbuf reads); the same picture is decoded and stored once. Nullopt when it cannot be
  // decoded or stored. Thread-safe: pictures are written under a temporary name and renamed.
  std::optional<std::string> store(const std::string& picture) const;

  // The same for a picture file on disk.
  std::optional<std::string> storeFile(const std::string& path) const;

  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
};

}  // namespace tolvane
