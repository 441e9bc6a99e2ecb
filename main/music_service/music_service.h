#pragma once

// The operations of the music service that the helper uses, and the value types they exchange.
// Everything here is used on the main loop only. Asynchronous operations return a Future that
// resumes its awaiter on the main loop; those that can fail yield a Result.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/future.h"
#include "platform/publisher.h"

namespace tolvane {

enum class PlaybackStatus { stopped, playing, paused, interrupted, seekingForward, seekingBackward };

enum class AuthorizationStatus { notDetermined, denied, restricted, authorized };

// The case names, as the default textual description of the values gives them.
std::string describe(PlaybackStatus status);
std::string describe(AuthorizationStatus status);

// Artwork of a catalog item, able to give a URL for a wanted size.
struct Artwork {
  // The URL with "{w}" and "{h}" standing for the width and height in pixels.
  std::string urlTemplate;
  std::optional<std::string> url(int width, int height) const;
  friend bool operator==(const Artwork&, const Artwork&) = default;
};

// A song of the catalog. Everything but the id and the artist's name may be absent.
struct Song {
  std::string id;
  std::string title;
  std::string artistName;
  std::optional<std::string> albumTitle;
  std::optional<double> duration;  // seconds
  std::optional<Artwork> artwork;
  std::optional<std::string> url;
  friend bool operator==(const Song&, const Song&) = default;
};

// One entry of the player's queue. `song` is set when the entry's item is a catalog song; other
// kinds of item are not told apart.
struct QueueEntry {
  std::string title;
  std::optional<std::string> subtitle;
  std::optional<Song> song;
};

struct Subscription {
  bool canPlayCatalogContent = false;
};

// The player's queue object. A new queue given to the player is a new object; subscriptions to
// the old one stay with the old one.
class MusicQueue {
 public:
  virtual ~MusicQueue() = default;
  virtual std::optional<QueueEntry> currentEntry() const = 0;
  // Sent right before each change of the current entry or of the entries.
  virtual Publisher& objectWillChange() = 0;
};

// The application's music player: one for the life of the process.
class MusicPlayer {
 public:
  virtual ~MusicPlayer() = default;

  virtual PlaybackStatus playbackStatus() const = 0;
  // Sent right before each change of the playback status.
  virtual Publisher& stateWillChange() = 0;

  virtual std::shared_ptr<MusicQueue> queue() const = 0;
  // Makes a new queue of `songs` in this order, starting with the first. Songs are shared, not
  // copied: a queue that repeats a song a million times holds it once.
  virtual void setQueue(const std::vector<std::shared_ptr<const Song>>& songs) = 0;

  // Starts or continues playback of the queue; completes once playback has (re)started.
  virtual Future<Result<void>> play() = 0;
  virtual void pause() = 0;
  virtual void stop() = 0;
  virtual void restartCurrentEntry() = 0;
  virtual Future<Result<void>> skipToNextEntry() = 0;
  virtual Future<Result<void>> skipToPreviousEntry() = 0;

  // Seconds into the current entry; may be negative or not finite.
  virtual double playbackTime() const = 0;
  virtual void setPlaybackTime(double seconds) = 0;
};

// The music service: its player, the catalog, authorization and subscription.
class MusicService {
 public:
  virtual ~MusicService() = default;

  virtual MusicPlayer& player() = 0;

  // One request for all the ids: the songs found, in any order, maybe fewer or none.
  virtual Future<Result<std::vector<Song>>> catalogSongs(const std::vector<std::string>& ids) = 0;
  // A catalog search for songs; success or an error, its content is not read.
  virtual Future<Result<void>> searchCatalog(const std::string& term, int limit) = 0;

  virtual AuthorizationStatus authorizationStatus() const = 0;
  // May ask the user; never fails.
  virtual Future<AuthorizationStatus> requestAuthorization() = 0;
  virtual Future<Result<std::string>> currentCountryCode() = 0;
  virtual Future<Result<Subscription>> currentSubscription() = 0;
};

}  // namespace tolvane
