#pragma once

// The process-level measurements. Each starts the program afresh and ends it.

#include <cstdint>
#include <string>

namespace tolvane::bench {

struct Flood {
  double answersPerSecond = 0;
  double seconds = 0;
  bool everyIdOnce = true;  // checked only for programs that echo the id
  std::int64_t peakRssKiB = 0;
};
// Writes `lines` commands {"type":"x","id":N} as fast as the pipe takes them while counting the
// answers; stops the clock at the last answer.
Flood flood(const std::string& program, std::int64_t lines, bool checkIds);

struct RoundTrip {
  double p50Microseconds = 0;
  double p99Microseconds = 0;
};
// One command, then its answer, `count` times (after a warm-up), with this thread on `driverCpu`
// and the program on `programCpu`.
RoundTrip roundTrip(const std::string& program, int count, int driverCpu, int programCpu);

struct StartUp {
  double medianMilliseconds = 0;
  std::int64_t rssKiB = 0;  // the median peak resident set, read right after the first answer
};
// From starting the program to the answer of a command written at once, `starts` times.
StartUp startUp(const std::string& program, int starts);

struct BigPlay {
  double answerSeconds = 0;  // from the first byte written to the answer
  std::int64_t peakRssKiB = 0;
  bool answered = false;
};
// A "play" of `ids` catalog ids.
BigPlay bigPlay(const std::string& program, std::int64_t ids);

struct Idle {
  std::int64_t wakeUps = 0;  // voluntary and involuntary context switches of all threads
  double cpuMilliseconds = 0;
  std::int64_t stateLines = 0;  // state lines written during the window
  int threads = 0;
};
// Watches the helper for `seconds` with nothing loaded, or while a short queue plays.
Idle idle(const std::string& program, double seconds, bool playing);

}  // namespace tolvane::bench
