#include "music/library_helper.h"

#include <sys/resource.h>
#include <unistd.h>

#include <memory>

#include "music/helper.h"
#include "music_service/gstreamer/gstreamer_player.h"
#include "music_service/gstreamer/gstreamer_runtime.h"
#include "music_service/library/artwork_store.h"
#include "music_service/library/library_service.h"
#include "music_service/library/scanner.h"
#include "platform/memory.h"
#include "platform/worker.h"

namespace tolvane {

namespace {

// What the helper on a library runs on, kept together for the life of the process. Members go in
// the reverse order of their declaration: the workers stop before what their jobs reach.
struct LibraryPlayback {
  LibraryPlayback(RunLoop& loop, const std::string& root, const std::string& indexFile, std::string audioOutput)
      : runtime(loop),
        player(loop, runtime, std::move(audioOutput)),
        service(loop, catalogWorker, root, indexFile, player, [this] { return player.subscription(); }) {
    scanWorker.post([root, indexFile] {
      // Playback and commands come first.
      ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
      const ArtworkStore artwork(cacheFolder() + "/artwork");
      // A scan that fails leaves the index as it was: the catalog is what it holds.
      (void)scanLibrary(root, indexFile, artwork);
      // What the scan held (the known files, the picture buffers) goes back to the system.
      returnFreeMemory();
    });
  }

  GStreamerRuntime runtime;
  GStreamerPlayer player;
  LibraryService service;
  WorkerThread catalogWorker;
  WorkerThread scanWorker;
};

}  // namespace

int runLibraryHelper(const std::string& root, const std::string& indexFile, const std::string& audioOutput) {
  return Helper::main([&](RunLoop& loop) {
    auto playback = std::make_shared<LibraryPlayback>(loop, root, indexFile, audioOutput);
    return std::shared_ptr<MusicService>(playback, &playback->service);
  });
}

}  // namespace tolvane
