#include "music_service/library/artwork_store.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "music_service/library/text.h"

namespace tolvane {

namespace {

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using Loader = std::unique_ptr<GdkPixbufLoader, Unref>;
using Pixbuf = std::unique_ptr<GdkPixbuf, Unref>;

struct FreeError {
  void operator()(GError* error) const { g_error_free(error); }
};

// The picture decoded, or nothing.
Pixbuf decode(const std::string& bytes) {
  Loader loader(gdk_pixbuf_loader_new());
  GError* raw = nullptr;
  const bool written =
      gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(bytes.data()), bytes.size(), &raw);
  std::unique_ptr<GError, FreeError> error(raw);
  raw = nullptr;
  const bool closed = gdk_pixbuf_loader_close(loader.get(), &raw);
  std::unique_ptr<GError, FreeError> closeError(raw);
  if (!written || !closed) return nullptr;
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader.get());
  if (!pixbuf) return nullptr;
  return Pixbuf(GDK_PIXBUF(g_object_ref(pixbuf)));
}

// Scaled to fit the largest side, keeping the aspect ratio; never enlarged.
Pixbuf fit(Pixbuf picture, int side) {
  const int width = gdk_pixbuf_get_width(picture.get());
  const int height = gdk_pixbuf_get_height(picture.get());
  if (width <= side && height <= side) return picture;
  const double scale = std::min(static_cast<double>(side) / width, static_cast<double>(side) / height);
  const int newWidth = std::clamp(static_cast<int>(std::lround(width * scale)), 1, side);
  const int newHeight = std::clamp(static_cast<int>(std::lround(height * scale)), 1, side);
  return Pixbuf(gdk_pixbuf_scale_simple(picture.get(), newWidth, newHeight, GDK_INTERP_BILINEAR));
}

std::string hexOf(std::int64_t value) {
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(value));
  return digits;
}

}  // namespace

std::optional<std::string> ArtworkStore::store(const std::string& picture) const {
  if (picture.empty()) return std::nullopt;
  // Named after the picture's bytes: the same cover in a thousand files is decoded once.
  const std::string path = folder_ + "/" + hexOf(songIdOf(picture)) + hexOf(songIdOf(picture, 1)) + ".jpg";
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0 && existing.st_size > 0) return path;

  Pixbuf decoded = decode(picture);
  if (!decoded) return std::nullopt;
  Pixbuf fitted = fit(std::move(decoded), largestSide);
  if (!fitted) return std::nullopt;
  // JPEG has no alpha channel: a picture with one is flattened onto white first.
  if (gdk_pixbuf_get_has_alpha(fitted.get())) {
    const int width = gdk_pixbuf_get_width(fitted.get());
    const int height = gdk_pixbuf_get_height(fitted.get());
    fitted = Pixbuf(gdk_pixbuf_composite_color_simple(fitted.get(), width, height, GDK_INTERP_NEAREST, 255, 8,
                                                      0xffffffff, 0xffffffff));
    if (!fitted) return std::nullopt;
  }
  ::mkdir(folder_.c_str(), 0755);
  gchar* buffer = nullptr;
  gsize size = 0;
  GError* raw = nullptr;
  const bool saved = gdk_pixbuf_save_to_buffer(fitted.get(), &buffer, &size, "jpeg", &raw, "quality", "90", nullptr);
  std::unique_ptr<GError, FreeError> error(raw);
  std::unique_ptr<gchar, decltype(&g_free)> owned(buffer, &g_free);
  if (!saved) return std::nullopt;
  const std::string temporary = path + ".part" + std::to_string(::getpid()) + "-" + std::to_string(gettid());
  {
    std::ofstream out(temporary, std::ios::binary);
    out.write(buffer, static_cast<std::streamsize>(size));
    if (!out) {
      ::unlink(temporary.c_str());
      return std::nullopt;
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return std::nullopt;
  }
  return path;
}

std::optional<std::string> ArtworkStore::storeFile(const std::string& path) const {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return store(bytes);
}

}  // namespace tolvane
