// The music library measured: a generated library of small tagged files (one in twenty with a
// cover) is scanned for the first time and again unchanged, Debian's mpd updates its database of
// the same library in the same run, and lookups run against an index of 100,000 songs. Writes its
// figures as Markdown.
//
//   tolvane_library_bench --helper build-bench/tolvane --files 10000 --out bench/LIBRARY.md

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "music_service/library/artwork_store.h"
#include "music_service/library/library_index.h"
#include "music_service/library/scanner.h"
#include "music_service/library/text.h"
#include "process/child.h"
#include "support/audio_files.h"

namespace tolvane::bench {
namespace {

namespace fs = std::filesystem;
using BenchClock = std::chrono::steady_clock;
using testing::AudioFormat;

double secondsSince(BenchClock::time_point start) {
  return std::chrono::duration<double>(BenchClock::now() - start).count();
}

// Runs a program to its end; its exit status (-1 when it could not start), and its peak RSS in KiB.
struct Ran {
  int status = -1;
  long peakKiB = 0;
};
Ran run(const std::vector<std::string>& words) {
  const pid_t pid = testing::startQuietly(words);
  if (pid < 0) return {};
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  return Ran{WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
}

// The generated library: templates copied and tagged, in folders of twenty files an album.
void makeLibrary(const std::string& root, int files) {
  const std::string templates = root + "/.templates";
  fs::create_directories(templates);
  const std::string flac = templates + "/t.flac";
  const std::string mp3 = templates + "/t.mp3";
  testing::makeAudioFile(flac, AudioFormat::flac, 3.0);
  testing::makeAudioFile(mp3, AudioFormat::mp3, 3.0);
  for (int i = 0; i < files; ++i) {
    const int album = i / 20;
    const bool isFlac = i % 2 == 0;
    const std::string folder = root + "/Artist " + std::to_string(album / 10) + "/Album " + std::to_string(album);
    fs::create_directories(folder);
    const std::string path =
        folder + "/" + std::to_string(i % 20 + 1) + " Song " + std::to_string(i) + (isFlac ? ".flac" : ".mp3");
    fs::copy_file(isFlac ? flac : mp3, path, fs::copy_options::overwrite_existing);
    testing::tagFile(path, {.title = "Song " + std::to_string(i),
                            .artist = "Artist " + std::to_string(album / 10),
                            .albumArtist = std::nullopt,
                            .album = "Album " + std::to_string(album),
                            .track = i % 20 + 1,
                            .disc = 1});
    // One in twenty has a cover: a picture of its album's own colour.
    if (i % 20 == 0) {
      const auto colour = 0x10203000u + static_cast<std::uint32_t>(album) * 0x0101u;
      testing::embedPicture(path, testing::makePicture(500, 500, "jpeg", colour | 0xffu), "image/jpeg");
    }
  }
  fs::remove_all(templates);
}

// Reads every file once, so that both scanners start from a warm page cache.
void warm(const std::string& root) {
  std::vector<char> buffer(1 << 16);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
    }
  }
}

bool portOpen(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return open;
}

// mpd's first database update of the library, with `mpc update --wait`; nullopt when mpd is not
// there or does not come up.
std::optional<double> mpdUpdate(const std::string& root, const std::string& work) {
  constexpr int port = 6617;
  fs::create_directories(work);
  const std::string config = work + "/mpd.conf";
  std::ofstream(config) << "music_directory \"" << root << "\"\n"
                        << "db_file \"" << work << "/database\"\n"
                        << "state_file \"" << work << "/state\"\n"
                        << "log_file \"" << work << "/log\"\n"
                        << "pid_file \"" << work << "/pid\"\n"
                        << "bind_to_address \"127.0.0.1\"\nport \"" << port << "\"\n"
                        << "auto_update \"no\"\nzeroconf_enabled \"no\"\n"
                        << "audio_output {\n type \"null\"\n name \"none\"\n}\n";
  fs::rename(root, root + ".full");
  fs::create_directory(root);
  const pid_t pid = testing::startQuietly({"mpd", "--no-daemon", config});
  if (pid < 0) {
    fs::remove(root);
    fs::rename(root + ".full", root);
    return std::nullopt;
  }
  std::optional<double> seconds;
  const auto until = BenchClock::now() + std::chrono::seconds(20);
  while (!portOpen(port) && BenchClock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (portOpen(port) && run({"mpc", "-q", "-p", std::to_string(port), "update", "--wait"}).status == 0) {
    // mpd started on an empty folder (its own first scan costs nothing); the library takes its
    // place now, and the update that reads it is what is timed.
    fs::rename(root, root + ".empty");
    fs::rename(root + ".full", root);
    const auto start = BenchClock::now();
    if (run({"mpc", "-q", "-p", std::to_string(port), "update", "--wait"}).status == 0) seconds = secondsSince(start);
    fs::rename(root, root + ".full");
    fs::rename(root + ".empty", root);
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  fs::remove(root);
  fs::rename(root + ".full", root);
  return seconds;
}

// An index of `songs` songs without files behind them, for the lookups.
std::vector<std::string> makeLargeIndex(const std::string& file, int songs) {
  Result<LibraryIndex> index = LibraryIndex::open(file, "/large/library");
  std::vector<std::string> ids;
  if (!index) {
    std::cerr << index.error().description() << "\n";
    return ids;
  }
  (void)index.value().begin();
  for (int i = 0; i < songs; ++i) {
    const std::string path =
        "Artist " + std::to_string(i / 200) + "/Album " + std::to_string(i / 20) + "/" + std::to_string(i) + ".flac";
    FileTags fileTags{.title = "Song " + std::to_string(i),
                      .artist = "Artist " + std::to_string(i / 200),
                      .albumArtist = "",
                      .album = "Album " + std::to_string(i / 20),
                      .disc = 1,
                      .track = i % 20 + 1,
                      .durationMs = 180000,
                      .picture = ""};
    if (auto r = index.value().putSong(path, FileStamp{1000, i}, fileTags, std::nullopt); !r) {
      std::cerr << r.error().description() << "\n";
      return ids;
    }
    ids.push_back(std::to_string(songIdOf(path)));
  }
  (void)index.value().commit();
  return ids;
}

// The resident memory of the helper on the library at `root` once it plays the first song of its
// index, and its peak; zeros when it does not answer.
struct Memory {
  std::int64_t residentKiB = 0;
  std::int64_t peakKiB = 0;
};
Memory playingMemory(const std::string& helper, const std::string& root, const std::string& indexFile) {
  Result<LibraryIndex> index = LibraryIndex::open(indexFile, root);
  if (!index) return {};
  Result<std::vector<IndexedSong>> songs = index.value().songs();
  if (!songs || songs.value().empty()) return {};
  const std::string id = std::to_string(songs.value().front().id);
  Child child = Child::spawn(helper, std::nullopt,
                             {"--library", root, "--index", indexFile, "--audio-sink", "fakesink sync=true"});
  child.send("{\"type\":\"check\",\"id\":1}\n{\"type\":\"play\",\"id\":2,\"ids\":[\"" + id + "\"]}\n");
  int answers = 0;
  while (answers < 2) {
    const std::optional<std::string> line = child.readLine();
    if (!line) return {};
    if (line->find("\"type\":\"answer\"") != std::string::npos) ++answers;
  }
  std::thread drain([&] {
    while (child.readLine()) {
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const Memory memory{statusKiB(child.pid(), "VmRSS"), statusKiB(child.pid(), "VmHWM")};
  child.finish();
  drain.join();
  return memory;
}

template <typename F>
double medianSeconds(int runs, F&& body) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = BenchClock::now();
    body();
    times.push_back(secondsSince(start));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

std::string met(bool ok) { return ok ? "met" : "**not met**"; }

}  // namespace
}  // namespace tolvane::bench

int main(int argc, char** argv) {
  using namespace tolvane;
  using namespace tolvane::bench;
  std::string helper = "build-bench/tolvane";
  std::string out = "bench/LIBRARY.md";
  int files = 10000;
  int largeSongs = 100000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--helper") helper = argv[i + 1];
    if (option == "--out") out = argv[i + 1];
    if (option == "--files") files = std::stoi(argv[i + 1]);
    if (option == "--large") largeSongs = std::stoi(argv[i + 1]);
  }
  testing::TemporaryFolder work;
  const std::string root = work.path() + "/library";
  std::cerr << "library bench: making " << files << " files\n";
  makeLibrary(root, files);
  warm(root);

  const ArtworkStore artwork(work.path() + "/artwork");
  const std::string indexFile = work.path() + "/index.sqlite";
  std::cerr << "library bench: first scan\n";
  auto start = BenchClock::now();
  Result<ScanCounts> first = scanLibrary(root, indexFile, artwork);
  const double firstSeconds = secondsSince(start);
  start = BenchClock::now();
  Result<ScanCounts> again = scanLibrary(root, indexFile, artwork);
  const double rescanSeconds = secondsSince(start);
  if (!first || !again) {
    std::cerr << "library bench: the scan failed\n";
    return 1;
  }
  std::cerr << "library bench: first scan " << firstSeconds << " s, rescan " << rescanSeconds << " s; mpd's update\n";
  const std::optional<double> mpd = mpdUpdate(root, work.path() + "/mpd");

  // The helper listing the library it has just indexed: its peak memory with the index open.
  const Ran listing = run({helper, "--library", root, "--index", indexFile, "--list"});
  // The helper on the library, playing one of its songs: its peak memory with the index open, once
  // its own scan at start (nothing to do) is over.
  const Memory playing = playingMemory(helper, root, indexFile);

  std::cerr << "library bench: mpd " << mpd.value_or(-1) << " s; making the large index\n";
  const std::string largeFile = work.path() + "/large.sqlite";
  const std::vector<std::string> ids = makeLargeIndex(largeFile, largeSongs);
  std::cerr << "library bench: lookups\n";
  Result<LibraryIndex> large = LibraryIndex::open(largeFile, "/large/library");
  if (!large || ids.size() != static_cast<std::size_t>(largeSongs)) {
    std::cerr << "library bench: the large index could not be made (" << ids.size() << " songs)\n";
    return 1;
  }
  const auto middle = ids.begin() + static_cast<std::ptrdiff_t>(ids.size() / 2);
  std::vector<std::string> ten(middle, middle + 10);
  std::vector<std::string> million;
  million.reserve(1000000);
  for (std::size_t i = 0; i < 1000000; ++i) million.push_back(ids[(i * 7919) % ids.size()]);
  std::size_t found10 = 0, foundMillion = 0;
  const double tenSeconds = medianSeconds(21, [&] { found10 = large.value().lookup(ten).value().size(); });
  const double millionSeconds = medianSeconds(3, [&] { foundMillion = large.value().lookup(million).value().size(); });

  const double filesPerSecond = static_cast<double>(files) / firstSeconds;
  std::ostringstream md;
  char line[512];
  md << "# Music library benchmark\n\n"
     << "Written by `make bench` (`build-bench/bench/tolvane_library_bench --helper build-bench/tolvane --files "
     << files << " --out bench/LIBRARY.md`) on this machine: " << std::thread::hardware_concurrency()
     << " CPUs. A library of " << files
     << " files made for the run (3-second tones, half FLAC and half MP3, tagged with TagLib, one in twenty with a "
        "500x500 JPEG cover of its own), read once beforehand so that the page cache is warm for both scanners.\n\n"
     << "| measure | figure | target | |\n|---|---|---|---|\n";
  std::snprintf(
      line, sizeof line, "| first scan | %.2f s, %.0f files/s (%zu songs, %zu skipped) | >= 2,000 files/s | %s |\n",
      firstSeconds, filesPerSecond, first.value().indexed, first.value().skipped, met(filesPerSecond >= 2000).c_str());
  md << line;
  if (mpd) {
    std::snprintf(line, sizeof line,
                  "| mpd's database update of the same library (`mpc update --wait`) | %.2f s, %.0f files/s | first "
                  "scan faster | %s |\n",
                  *mpd, files / *mpd, met(firstSeconds < *mpd).c_str());
  } else {
    std::snprintf(line, sizeof line,
                  "| mpd's database update | mpd did not run | first scan faster | not measured |\n");
  }
  md << line;
  std::snprintf(line, sizeof line, "| rescan, nothing changed | %.3f s (%zu files read) | <= 0.5 s | %s |\n",
                rescanSeconds, again.value().read, met(rescanSeconds <= 0.5).c_str());
  md << line;
  std::snprintf(line, sizeof line,
                "| lookup of 10 ids in 100,000 songs, median of 21 | %.3f ms (%zu found) | <= 1 ms | %s |\n",
                tenSeconds * 1000, found10, met(tenSeconds <= 0.001).c_str());
  md << line;
  std::snprintf(line, sizeof line,
                "| lookup of 1,000,000 ids in 100,000 songs, median of 3 | %.3f s (%zu found) | <= 1 s | %s |\n",
                millionSeconds, foundMillion, met(millionSeconds <= 1.0).c_str());
  md << line;
  std::snprintf(
      line, sizeof line,
      "| peak RSS of `tolvane --library DIR --list` with that index open (exit %d) | %.1f MiB | <= 20 MiB | %s |\n",
      listing.status, listing.peakKiB / 1024.0, met(listing.status == 0 && listing.peakKiB <= 20 * 1024).c_str());
  md << line;
  std::snprintf(line, sizeof line,
                "| RSS of `tolvane --library DIR` playing one of its songs, index open (peak) | %.1f MiB (%.1f MiB) | "
                "<= 40 MiB while playing | %s |\n",
                static_cast<double>(playing.residentKiB) / 1024.0, static_cast<double>(playing.peakKiB) / 1024.0,
                met(playing.peakKiB > 0 && playing.peakKiB <= 40 * 1024).c_str());
  md << line;
  md << "\nThe scan reads tags with TagLib, scales covers with GdkPixbuf and writes SQLite in batches of 256 files, "
        "on one thread. The lookups run on the index alone (rows without files behind them). The listing scans "
        "(nothing to do) and prints every song; the helper on the library rescans at start (nothing to do), answers "
        "a \"check\" and plays a song to GStreamer's `fakesink sync=true`, its GStreamer pipeline included in the "
        "figure.\n";
  std::ofstream(out) << md.str();
  std::cout << md.str();
  return 0;
}
