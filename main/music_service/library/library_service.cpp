#include "music_service/library/library_service.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace tolvane {

LibraryService::LibraryService(RunLoop& loop, Worker& worker, std::string root, std::string indexFile,
                               MusicPlayer& player, SubscriptionLookup subscription)
    : loop_(loop),
      worker_(worker),
      root_(std::move(root)),
      indexFile_(std::move(indexFile)),
      player_(player),
      subscription_(std::move(subscription)),
      reader_(std::make_shared<std::optional<LibraryIndex>>()) {}

LibraryService::~LibraryService() = default;

template <typename T>
Future<T> LibraryService::onWorker(std::function<T(Result<LibraryIndex*>)> query) {
  Completer<T> completer(loop_);
  Future<T> future = completer.future();
  // The worker only carries the completer (a shared handle); it is completed on the main loop.
  std::weak_ptr<bool> alive = alive_;
  worker_.post([&loop = loop_, reader = reader_, file = indexFile_, root = root_, query = std::move(query),
                completer = std::move(completer), alive]() mutable {
    if (!*reader) {
      Result<LibraryIndex> opened = LibraryIndex::open(file, root);
      if (opened) reader->emplace(std::move(opened.value()));
    }
    Result<LibraryIndex*> index =
        *reader ? Result<LibraryIndex*>(&**reader)
                : Result<LibraryIndex*>(Error{libraryErrorDomain, 3, "the index cannot be opened"});
    T value = query(index);
    loop.post([completer = std::move(completer), alive, value = std::move(value)]() mutable {
      if (alive.lock()) completer.complete(std::move(value));
    });
  });
  return future;
}

Future<Result<std::vector<Song>>> LibraryService::catalogSongs(const std::vector<std::string>& ids) {
  return onWorker<Result<std::vector<Song>>>([ids](Result<LibraryIndex*> index) -> Result<std::vector<Song>> {
    if (!index) return index.error();
    Result<std::vector<IndexedSong>> found = index.value()->lookup(ids);
    if (!found) return found.error();
    std::vector<Song> songs;
    songs.reserve(found.value().size());
    for (const IndexedSong& song : found.value()) songs.push_back(index.value()->songOf(song));
    return songs;
  });
}

Future<Result<void>> LibraryService::searchCatalog(const std::string&, int) {
  // The probe asks whether the catalog can be searched at all: whether the index can be read.
  return onWorker<Result<void>>([](Result<LibraryIndex*> index) -> Result<void> {
    if (!index) return index.error();
    return index.value()->probe();
  });
}

AuthorizationStatus LibraryService::authorizationOf(const std::string& root) {
  struct stat info {};
  if (::stat(root.c_str(), &info) != 0) {
    return errno == EACCES ? AuthorizationStatus::denied : AuthorizationStatus::notDetermined;
  }
  if (!S_ISDIR(info.st_mode)) return AuthorizationStatus::notDetermined;
  return ::access(root.c_str(), R_OK | X_OK) == 0 ? AuthorizationStatus::authorized : AuthorizationStatus::denied;
}

AuthorizationStatus LibraryService::authorizationStatus() const { return authorizationOf(root_); }

Future<AuthorizationStatus> LibraryService::requestAuthorization() {
  // There is nobody to ask: the request looks at the folder again, on the worker.
  return onWorker<AuthorizationStatus>([root = root_](Result<LibraryIndex*>) { return authorizationOf(root); });
}

std::optional<std::string> LibraryService::territoryOf(const std::string& locale) {
  // language[_TERRITORY][.codeset][@modifier]
  const std::string name = locale.substr(0, locale.find_first_of(".@"));
  const auto underscore = name.find('_');
  if (underscore == std::string::npos || underscore + 1 >= name.size()) return std::nullopt;
  std::string territory = name.substr(underscore + 1);
  if (!std::all_of(territory.begin(), territory.end(), [](unsigned char c) { return std::isalnum(c); })) {
    return std::nullopt;
  }
  std::transform(territory.begin(), territory.end(), territory.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return territory;
}

Future<Result<std::string>> LibraryService::currentCountryCode() {
  // The locale that names the user's messages, as the C library would choose it.
  std::string locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char* value = std::getenv(name); value && *value) {
      locale = value;
      break;
    }
  }
  Completer<Result<std::string>> completer(loop_);
  if (std::optional<std::string> territory = territoryOf(locale)) {
    completer.complete(*territory);
  } else {
    completer.complete(Error{libraryErrorDomain, 4,
                             "the locale names no territory: " + (locale.empty() ? std::string("(none)") : locale)});
  }
  return completer.future();
}

}  // namespace tolvane
