#pragma once

// Runs build/tolvane as a child process on pipes, as a parent program would.

#include <sys/types.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::testing {

using Json = nlohmann::json;
using Millis = std::chrono::milliseconds;

class HelperProcess {
 public:
  // Starts the helper; its stdin, stdout and stderr are pipes held by this object.
  explicit HelperProcess(const std::string& binary = TOLVANE_BINARY);
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;
  ~HelperProcess();  // kills the helper if it still runs

  pid_t pid() const { return pid_; }

  // Writes raw bytes to the helper's stdin (blocking until all are taken).
  void send(std::string_view bytes);
  // Writes a JSON command and a LF.
  void sendLine(const Json& command);
  void closeInput();

  // The next complete output line (without its LF), or nullopt if none arrives within `timeout`.
  std::optional<std::string> readLine(Millis timeout = Millis(5000));
  // The next line parsed as JSON; fails the test if none arrives or it does not parse.
  Json readMessage(Millis timeout = Millis(5000));
  // Every line that arrives within `period`.
  std::vector<std::string> readLinesFor(Millis period);
  // Reads lines until one satisfies `pred` (returned) or `timeout` passes (nullopt). Lines read on
  // the way are appended to `skipped` when given.
  template <typename Pred>
  std::optional<Json> readUntil(Pred pred, Millis timeout = Millis(5000), std::vector<Json>* skipped = nullptr);

  // Waits for the helper to exit: its exit status (or 128 + signal), or nullopt after `timeout`.
  std::optional<int> waitExit(Millis timeout = Millis(5000));
  void signal(int signal);

  // Everything the helper wrote to stderr so far (read without blocking).
  std::string stderrText();
  // Output bytes received but not yet returned as lines (a torn last line, say).
  const std::string& pendingOutput() const { return buffer_; }
  // Closes our end of the helper's stdout.
  void closeOutput();

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string buffer_;
  std::string errText_;
  std::optional<int> status_;
};

template <typename Pred>
std::optional<Json> HelperProcess::readUntil(Pred pred, Millis timeout, std::vector<Json>* skipped) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto line = readLine(left);
    if (!line) return std::nullopt;
    Json message = Json::parse(*line, nullptr, false);
    if (pred(message)) return message;
    if (skipped) skipped->push_back(std::move(message));
  }
}

}  // namespace tolvane::testing
