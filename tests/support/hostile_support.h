#pragma once

// Tools for the tests that treat the helper roughly: reading its output straight from the pipe (in
// small chunks, slowly, or a line of many megabytes), feeding its input from a thread of its own,
// its resident memory, and strict checks of the bytes it writes.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "support/helper_process.h"

namespace tolvane::testing {

// Bytes as the text of a JSON string literal, quotes included: only '"', '\\' and bytes below 0x20
// are escaped; every other byte stays as it is, ill-formed UTF-8 included.
inline std::string rawJsonString(std::string_view bytes) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string text = "\"";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (byte < 0x20) {
      text += "\\u00";
      text += hex[byte >> 4];
      text += hex[byte & 0xF];
    } else {
      text += c;
    }
  }
  return text + "\"";
}

// True when `bytes` is well-formed UTF-8 (Unicode Table 3-7: no overlong forms, no surrogates,
// nothing above U+10FFFF, no sequence cut short).
inline bool isWellFormedUtf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (bytes.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

// How often `needle` occurs in `haystack`, without overlaps.
inline std::size_t occurrences(std::string_view haystack, std::string_view needle) {
  std::size_t count = 0;
  for (auto at = haystack.find(needle); at != std::string_view::npos; at = haystack.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

// `size` printable ASCII letters that depend on their position through a pseudo-random sequence, so
// that a lost, doubled or misplaced piece of a long text shows when it is compared with the original.
inline std::string patternText(std::size_t size, std::uint32_t seed = 1) {
  std::string text(size, ' ');
  std::uint32_t state = seed;
  for (char& c : text) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>('a' + (state >> 24) % 26);
  }
  return text;
}

// The resident memory of a process in KiB (VmRSS, or VmHWM for its peak); nullopt if unreadable.
inline std::optional<long> memoryKiB(pid_t pid, std::string_view field = "VmRSS") {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return std::nullopt;
}

// The helper's standard output read straight from the pipe, bypassing HelperProcess's own buffer:
// the chunk size of each read and the pauses between reads are the caller's, and a line of many
// megabytes is scanned only once.
//
// The descriptor is found through /proc: it is the one of this process that refers to the pipe that
// is the helper's descriptor 1. Construct it only after the helper has answered something (before
// that the child may not have its pipes in place yet) and after HelperProcess has handed out every
// byte it read; from then on read the output only through this object.
class RawOutput {
 public:
  explicit RawOutput(HelperProcess& helper) : fd_(findParentEnd(helper.pid())) {
    EXPECT_EQ(helper.pendingOutput(), "") << "HelperProcess already holds output bytes";
    EXPECT_GE(fd_, 0) << "no descriptor of this process reads the helper's standard output";
  }

  // The next complete line, without its LF; nullopt when none is complete within `timeout` or the
  // output ends. Reads at most `chunk` bytes at a time and sleeps `pause` after every read.
  std::optional<std::string> readLine(Millis timeout, std::size_t chunk = 1 << 16, Millis pause = Millis(0)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto line = takeLine()) return line;
      if (!readChunk(chunk, deadline)) return std::nullopt;
      if (pause.count() > 0) std::this_thread::sleep_for(pause);
    }
  }

  // A complete line already read, without its LF; nullopt if there is none.
  std::optional<std::string> takeLine() {
    const auto end = buffer_.find('\n', scanned_);
    if (end == std::string::npos) {
      scanned_ = buffer_.size();
      return std::nullopt;
    }
    std::string line = buffer_.substr(start_, end - start_);
    start_ = scanned_ = end + 1;
    if (start_ == buffer_.size()) {
      buffer_.clear();
      start_ = scanned_ = 0;
    }
    return line;
  }

  // One read of at most `chunk` bytes, waiting until `deadline` for data. False at the deadline and
  // at the end of the output.
  bool readChunk(std::size_t chunk, std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0) return false;
    if (start_ > (1u << 20) && start_ * 2 > buffer_.size()) {
      buffer_.erase(0, start_);
      scanned_ -= start_;
      start_ = 0;
    }
    for (;;) {
      const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now()).count();
      if (left < 0) return false;
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
      const std::size_t old = buffer_.size();
      buffer_.resize(old + chunk);
      const ssize_t n = ::read(fd_, buffer_.data() + old, chunk);
      buffer_.resize(old + static_cast<std::size_t>(n > 0 ? n : 0));
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) received_ += static_cast<std::size_t>(n);
      return n > 0;
    }
  }

  // Bytes read so far, in all.
  std::size_t received() const { return received_; }

  // Bytes read after the last complete line: a torn line, if any.
  std::string_view pending() const { return std::string_view(buffer_).substr(start_); }

 private:
  static int findParentEnd(pid_t pid) {
    char target[64] = {};
    const std::string own = "/proc/" + std::to_string(pid) + "/fd/1";
    if (::readlink(own.c_str(), target, sizeof target - 1) <= 0) return -1;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    int found = -1;
    while (const dirent* entry = ::readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      if (entry->d_name[0] == '.' || fd == ::dirfd(dir)) continue;
      char link[64] = {};
      const std::string path = std::string("/proc/self/fd/") + entry->d_name;
      if (::readlink(path.c_str(), link, sizeof link - 1) <= 0 || std::string_view(link) != target) continue;
      if ((::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY) found = fd;
    }
    ::closedir(dir);
    return found;
  }

  int fd_;
  std::string buffer_;
  std::size_t start_ = 0;    // where the next line begins
  std::size_t scanned_ = 0;  // bytes from start_ on already known to hold no LF
  std::size_t received_ = 0;
};

// Feeds the helper's input from a thread of its own, so that the test can read the output at the
// same time: a pipe holds only 64 KiB, and a helper blocked on its full output stops taking input.
// `next` gives the next piece of input, or nullopt when there is no more.
//
// Call finish() once the output shows that all input was taken. If the object is destroyed before
// the sender is done (a failed check returned early), the helper is killed so that a blocked write
// fails and the thread can end.
class BackgroundSender {
 public:
  BackgroundSender(HelperProcess& helper, std::function<std::optional<std::string>()> next)
      : helper_(helper), thread_([this, next = std::move(next)] {
          while (!stop_) {
            std::optional<std::string> piece = next();
            if (!piece) break;
            helper_.send(*piece);
          }
          done_ = true;
        }) {}
  BackgroundSender(const BackgroundSender&) = delete;
  BackgroundSender& operator=(const BackgroundSender&) = delete;
  ~BackgroundSender() {
    if (!thread_.joinable()) return;
    stop_ = true;
    if (!done_) helper_.signal(SIGKILL);
    thread_.join();
  }

  // Waits for the sender to have written everything.
  void finish() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  HelperProcess& helper_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace tolvane::testing
