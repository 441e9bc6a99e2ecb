#pragma once

// The music service of a music library: the catalog is the library's index, read on a worker so
// that the main loop never waits for the disk; the player is given.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "music_service/library/library_index.h"
#include "music_service/music_service.h"
#include "platform/run_loop.h"
#include "platform/worker.h"

namespace tolvane {

class LibraryService final : public MusicService {
 public:
  using SubscriptionLookup = std::function<Future<Result<Subscription>>()>;

  // The library in the folder `root` (absolute), indexed in `indexFile`. `worker` runs the index's
  // queries and must stop before the service goes; `subscription` answers whether the player can
  // play the library's songs.
  LibraryService(RunLoop& loop, Worker& worker, std::string root, std::string indexFile, MusicPlayer& player,
                 SubscriptionLookup subscription);
  ~LibraryService() override;
  LibraryService(const LibraryService&) = delete;
  LibraryService& operator=(const LibraryService&) = delete;

  MusicPlayer& player() override { return player_; }
  Future<Result<std::vector<Song>>> catalogSongs(const std::vector<std::string>& ids) override;
  Future<Result<void>> searchCatalog(const std::string& term, int limit) override;
  AuthorizationStatus authorizationStatus() const override;
  Future<AuthorizationStatus> requestAuthorization() override;
  Future<Result<std::string>> currentCountryCode() override;
  Future<Result<Subscription>> currentSubscription() override { return subscription_(); }

  // The territory of a locale name ("en_US.UTF-8" gives "us"), or nullopt when it names none.
  static std::optional<std::string> territoryOf(const std::string& locale);
  // Authorization as the folder `root` allows it.
  static AuthorizationStatus authorizationOf(const std::string& root);

 private:
  // Runs `query` on the worker with the worker's own connection to the index, then completes the
  // future with its result on the main loop, unless the service is gone by then.
  template <typename T>
  Future<T> onWorker(std::function<T(Result<LibraryIndex*>)> query);

  RunLoop& loop_;
  Worker& worker_;
  const std::string root_;
  const std::string indexFile_;
  MusicPlayer& player_;
  SubscriptionLookup subscription_;
  // The worker's connection: touched by worker jobs only, opened by the first.
  std::shared_ptr<std::optional<LibraryIndex>> reader_;
  // Alive while the service is: the main loop's completions check it.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tolvane
