#pragma once

// Runs build/tolvane as a child process on pipes, as a parent program would.

#include <gtest/gtest.h>
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

// How a parent sets up the helper's process before it starts.
struct SpawnOptions {
  std::vector<std::string> arguments;
  std::vector<std::pair<std::string, std::string>> environment;  // set in the helper's environment
  bool closeInput = false;                                       // started with descriptor 0 closed
  bool closeOutput = false;                                      // started with descriptor 1 closed
  bool nonBlockingInput = false;                                 // stdin is a pipe end with O_NONBLOCK set
  bool blockTermination = false;                                 // SIGTERM blocked in the inherited signal mask
  bool errorOnTerminal = false;                                  // stderr a pseudo-terminal, not a pipe
  std::string binary = TOLVANE_BINARY;
};

class HelperProcess {
 public:
  // Starts the helper; its stdin, stdout and stderr are pipes held by this object (but those that
  // `options` close).
  HelperProcess() : HelperProcess(SpawnOptions{}) {}
  explicit HelperProcess(const SpawnOptions& options);
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
  // Every line that arrives within `period`, parsed (a line that is not JSON gives a discarded value).
  std::vector<Json> readMessagesFor(Millis period);
  // Reads lines until one satisfies `pred` (returned) or `timeout` passes (nullopt). Lines read on
  // the way are appended to `skipped` when given.
  template <typename Pred>
  std::optional<Json> readUntil(Pred pred, Millis timeout = Millis(5000), std::vector<Json>* skipped = nullptr);

  // Waits for the helper to exit: its exit status (or 128 + signal), or nullopt after `timeout`.
  std::optional<int> waitExit(Millis timeout = Millis(5000));
  void signal(int signal);
  // True while the helper has not exited (does not wait).
  bool running() { return !waitExit(Millis(0)); }

  // Everything the helper wrote to stderr so far (read without blocking).
  std::string stderrText();
  // Output bytes received but not yet returned as lines (a torn last line, say).
  const std::string& pendingOutput() const { return buffer_; }
  // Closes our end of the helper's stdout.
  void closeOutput();
  // A field of the helper's /proc status in KiB ("VmHWM:"), or for "VmRSS:" its resident set as its
  // page tables have it (smaps_rollup); 0 when it is gone.
  long residentKiB(const char* field = "VmRSS:") const;

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

// Predicates for readUntil.
// The answer whose "id" equals `id`.
inline auto isAnswerTo(Json id) {
  return [id = std::move(id)](const Json& message) {
    return message.is_object() && message.value("type", "") == "answer" && message.contains("id") &&
           message["id"] == id;
  };
}
inline bool isState(const Json& message) { return message.is_object() && message.value("type", "") == "state"; }
// The catalog id of the song in a "state" line; empty when it has none.
inline std::string songIdOf(const Json& state) {
  if (!state.is_object() || !state.contains("song") || !state["song"].is_object()) return {};
  return state["song"].value("id", "");
}

// A test that drives one helper. At its end the helper must not have written anything to stderr.
class HelperProcessTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(helper.stderrText(), "") << "the helper wrote to stderr"; }

  HelperProcess helper;
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
