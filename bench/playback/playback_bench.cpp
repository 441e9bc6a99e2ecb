// Real audio measured: the helper on a music library plays a local FLAC file with GStreamer, and
// Debian's mpv (the player a user would run instead) plays the same file in the same run, driven
// over its JSON IPC. Both play in real time without a sound device: the helper to
// "fakesink sync=true", mpv to its null output. Writes its figures as Markdown.
//
//   tolvane_playback_bench --helper build-bench/tolvane --out bench/PLAYBACK.md

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process/child.h"
#include "support/audio_files.h"

namespace tolvane::bench {
namespace {

namespace fs = std::filesystem;
using BenchClock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr double songSeconds = 40.0;
constexpr double windowSeconds = 10.0;

double millisecondsSince(BenchClock::time_point start) {
  return std::chrono::duration<double, std::milli>(BenchClock::now() - start).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The value of `"key":` in a JSON line, as text up to the next comma or brace (enough for ids and
// statuses the helper writes).
std::string member(const std::string& line, const std::string& key) {
  const std::string marker = "\"" + key + "\":";
  const auto at = line.find(marker);
  if (at == std::string::npos) return {};
  auto from = at + marker.size();
  if (line[from] == '"') return line.substr(from + 1, line.find('"', from + 1) - from - 1);
  return line.substr(from, line.find_first_of(",}", from) - from);
}

// The helper on the library, playing to a fake output that keeps time.
class Helper {
 public:
  Helper(const std::string& binary, const std::string& library, const std::string& index)
      : child_(Child::spawn(binary, std::nullopt,
                            {"--library", library, "--index", index, "--audio-sink", "fakesink sync=true"})) {}
  Child& child() { return child_; }
  // Sends a command with a fresh id; returns the time to its answer in ms (the lines on the way are
  // kept for `untilState`).
  double command(const std::string& body) {
    const std::string id = std::to_string(++lastId_);
    const auto start = BenchClock::now();
    child_.send("{\"id\":" + id + "," + body + "}\n");
    while (auto line = child_.readLine()) {
      if (line->find("\"type\":\"answer\"") != std::string::npos && member(*line, "id") == id) {
        return millisecondsSince(start);
      }
    }
    return NAN;
  }
  // Reads until a state line with this status; true when one came.
  bool untilState(const std::string& status) {
    while (auto line = child_.readLine()) {
      if (line->find("\"type\":\"state\"") != std::string::npos && member(*line, "status") == status) return true;
    }
    return false;
  }

 private:
  Child child_;
  int lastId_ = 0;
};

// mpv, idle, with its JSON IPC on a UNIX socket.
class Mpv {
 public:
  explicit Mpv(const std::string& socketPath)
      : child_(Child::spawn("mpv", std::nullopt,
                            {"--no-config", "--ao=null", "--vo=null", "--idle=yes", "--really-quiet",
                             "--input-ipc-server=" + socketPath})) {
    for (int attempt = 0; attempt < 500 && fd_ < 0; ++attempt) {
      const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        fd_ = fd;
      } else {
        ::close(fd);
        std::this_thread::sleep_for(Millis(10));
      }
    }
  }
  ~Mpv() {
    if (fd_ >= 0) {
      send(R"({"command":["quit"]})");
      ::close(fd_);
    }
    child_.finish();
  }
  bool ready() const { return fd_ >= 0; }
  pid_t pid() const { return child_.pid(); }
  void send(const std::string& line) {
    const std::string bytes = line + "\n";
    [[maybe_unused]] const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
  }
  // Reads events until one named `event`; false at the end of the connection.
  bool untilEvent(const std::string& event) {
    for (;;) {
      if (const auto end = pending_.find('\n'); end != std::string::npos) {
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (member(line, "event") == event) return true;
        continue;
      }
      char buffer[4096];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return false;
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  Child child_;
  int fd_ = -1;
  std::string pending_;
};

struct Window {
  double cpuSecondsPerSecond = NAN;
  std::int64_t wakeUps = 0;
  std::int64_t rssKiB = 0;
};

// What `pid` does over `seconds`: CPU time (all threads), context switches, resident memory at the end.
Window watch(pid_t pid, double seconds) {
  const Activity before = activityOf(pid);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const Activity after = activityOf(pid);
  Window window;
  window.cpuSecondsPerSecond = static_cast<double>(after.runNanoseconds - before.runNanoseconds) / 1e9 / seconds;
  window.wakeUps =
      (after.voluntarySwitches + after.involuntarySwitches) - (before.voluntarySwitches + before.involuntarySwitches);
  window.rssKiB = statusKiB(pid, "VmRSS");
  return window;
}

std::string met(bool ok) { return ok ? "met" : "**missed**"; }

}  // namespace
}  // namespace tolvane::bench

int main(int argc, char** argv) {
  using namespace tolvane::bench;
  std::string helperBinary = "build-bench/tolvane";
  std::string out = "bench/PLAYBACK.md";
  int plays = 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--helper") helperBinary = argv[i + 1];
    if (option == "--out") out = argv[i + 1];
    if (option == "--plays") plays = std::stoi(argv[i + 1]);
  }
  tolvane::testing::TemporaryFolder work;
  const std::string library = work.path() + "/library";
  fs::create_directories(library);
  // A stereo tone, as most music is.
  const std::string flac = library + "/song.flac";
  tolvane::testing::makeAudioFile(flac, tolvane::testing::AudioFormat::flac, songSeconds, 440.0, 2);
  ::setenv("XDG_CACHE_HOME", (work.path() + "/cache").c_str(), 1);
  const std::string index = work.path() + "/index.sqlite";

  // The song's id, from the listing (which also indexes the library).
  std::string id;
  {
    Child lister = Child::spawn(helperBinary, std::nullopt, {"--library", library, "--index", index, "--list"});
    if (auto line = lister.readLine()) id = member(*line, "id");
    lister.finish();
  }
  if (id.empty()) {
    std::cerr << "playback bench: the library could not be listed\n";
    return 1;
  }
  const std::string play = "\"type\":\"play\",\"ids\":[\"" + id + "\"]";

  // Start-up: a command written at once, answered.
  std::vector<double> startUps;
  for (int i = 0; i < plays; ++i) {
    const auto start = BenchClock::now();
    Helper helper(helperBinary, library, index);
    helper.child().send("{\"type\":\"stop\",\"id\":0}\n");
    if (helper.child().readLine()) startUps.push_back(millisecondsSince(start));
    helper.child().finish();
  }

  // Idle with nothing loaded, then play: answer and "playing", CPU and memory while playing, paused.
  Helper helper(helperBinary, library, index);
  helper.command("\"type\":\"stop\"");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Window idle = watch(helper.child().pid(), windowSeconds);
  std::vector<double> answers, playing;
  helper.command(play);  // GStreamer's first pipeline is made here
  helper.untilState("playing");
  for (int i = 0; i < plays; ++i) {
    helper.command("\"type\":\"stop\"");
    const auto start = BenchClock::now();
    answers.push_back(helper.command(play));
    if (helper.untilState("playing")) playing.push_back(millisecondsSince(start));
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::thread drain([&] {
    while (helper.child().readLine()) {
    }
  });
  const Window helperPlaying = watch(helper.child().pid(), windowSeconds);
  const std::int64_t helperPeakKiB = statusKiB(helper.child().pid(), "VmHWM");
  helper.child().finish();
  drain.join();

  // Paused, in a helper of its own: only the report timer's lines may wake it.
  Window paused;
  std::int64_t pausedReports = 0;
  {
    Helper pausing(helperBinary, library, index);
    pausing.command(play);
    pausing.untilState("playing");
    pausing.command("\"type\":\"pause\"");
    std::atomic<bool> counting{false};
    std::atomic<std::int64_t> reports{0};
    std::thread reader([&] {
      while (auto line = pausing.child().readLine()) {
        if (counting && line->find("\"type\":\"state\"") != std::string::npos) ++reports;
      }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    counting = true;
    paused = watch(pausing.child().pid(), windowSeconds);
    counting = false;
    pausedReports = reports;
    pausing.child().finish();
    reader.join();
  }

  // mpv on the same file.
  std::vector<double> mpvRestarts;
  Window mpvPlaying;
  bool mpvRan = false;
  {
    Mpv mpv(work.path() + "/mpv.socket");
    if (mpv.ready()) {
      mpvRan = true;
      const std::string load = R"({"command":["loadfile",")" + flac + R"(","replace"]})";
      mpv.send(load);
      mpv.untilEvent("playback-restart");
      for (int i = 0; i < plays; ++i) {
        mpv.send(R"({"command":["stop"]})");
        mpv.untilEvent("idle");
        const auto start = BenchClock::now();
        mpv.send(load);
        if (mpv.untilEvent("playback-restart")) mpvRestarts.push_back(millisecondsSince(start));
      }
      std::this_thread::sleep_for(std::chrono::seconds(2));
      mpvPlaying = watch(mpv.pid(), windowSeconds);
    }
  }

  const double startUp = median(startUps), answer = median(answers), started = median(playing);
  const double mpvStart = median(mpvRestarts);
  std::ostringstream md;
  char row[512];
  md << "# Playback benchmark\n\nWritten by `make bench` (`build-bench/bench/tolvane_playback_bench --helper "
        "build-bench/tolvane --out bench/PLAYBACK.md`) on this machine: "
     << std::thread::hardware_concurrency() << " CPUs. One local FLAC file made for the run (" << songSeconds
     << " s, stereo, 16-bit, 44.1 kHz), in a library of its own. The helper runs `tolvane --library DIR "
        "--audio-sink \"fakesink sync=true\"`; mpv runs `mpv --no-config --ao=null --vo=null --idle=yes` and is "
        "driven over its JSON IPC. Both play in real time with no sound device. Medians of "
     << plays << " unless said otherwise.\n\n| measure | helper | mpv | target | |\n|---|---|---|---|---|\n";
  std::snprintf(row, sizeof row,
                "| start-up with `--library`: a command written at once, to its answer | %.1f ms | | <= 50 ms | %s |\n",
                startUp, met(startUp <= 50).c_str());
  md << row;
  std::snprintf(
      row, sizeof row,
      "| \"play\" to its answer (helper); `loadfile` to `playback-restart` (mpv) | %.1f ms | %.1f ms | <= 50 ms "
      "and no slower than mpv | %s |\n",
      answer, mpvStart, met(answer <= 50 && (!mpvRan || answer <= mpvStart)).c_str());
  md << row;
  std::snprintf(row, sizeof row, "| \"play\" to the \"playing\" state line | %.1f ms | | <= 50 ms | %s |\n", started,
                met(started <= 50).c_str());
  md << row;
  std::snprintf(
      row, sizeof row,
      "| CPU time per second of audio while playing (all threads, %.0f s window) | %.4f s | %.4f s | <= 0.03 s "
      "and below mpv | %s |\n",
      windowSeconds, helperPlaying.cpuSecondsPerSecond, mpvPlaying.cpuSecondsPerSecond,
      met(helperPlaying.cpuSecondsPerSecond <= 0.03 &&
          (!mpvRan || helperPlaying.cpuSecondsPerSecond < mpvPlaying.cpuSecondsPerSecond))
          .c_str());
  md << row;
  std::snprintf(row, sizeof row, "| RSS while playing (peak) | %.1f MiB (%.1f MiB) | %.1f MiB | <= 40 MiB | %s |\n",
                static_cast<double>(helperPlaying.rssKiB) / 1024, static_cast<double>(helperPeakKiB) / 1024,
                static_cast<double>(mpvPlaying.rssKiB) / 1024, met(helperPeakKiB <= 40 * 1024).c_str());
  md << row;
  std::snprintf(row, sizeof row, "| wake-ups in %.0f s, nothing loaded | %lld | | 0 | %s |\n", windowSeconds,
                static_cast<long long>(idle.wakeUps), met(idle.wakeUps == 0).c_str());
  md << row;
  std::snprintf(row, sizeof row,
                "| wake-ups in %.0f s, paused (state lines the report timer wrote meanwhile) | %lld (%lld) | | none "
                "beyond the reports | %s |\n",
                windowSeconds, static_cast<long long>(paused.wakeUps), static_cast<long long>(pausedReports),
                met(paused.wakeUps <= pausedReports).c_str());
  md << row;
  md << "\nThe wake-ups are context switches of all the process's threads, read from /proc: a timed report is "
        "one (the main loop's). CPU time is the sum over threads of /proc's schedstat run time.";
  if (!mpvRan) md << " mpv could not be started: its figures are missing.";
  md << "\n";
  std::ofstream(out) << md.str();
  std::cout << md.str();
  return 0;
}
