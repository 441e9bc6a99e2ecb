#pragma once

#include <chrono>

namespace tolvane {

// Monotonic time as the run loop sees it. Durations are in nanoseconds.
using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;

// Seconds as a double, the unit the music player speaks in.
using Seconds = std::chrono::duration<double>;

// Where the run loop reads the time. The production clock follows the system's monotonic clock;
// the manual clock stands still until its owner moves it.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  // True when the clock only moves when told to. The run loop then never sleeps waiting for it.
  virtual bool isManual() const { return false; }
};

class SteadyClock final : public Clock {
 public:
  TimePoint now() const override;
};

// A clock that never advances on its own. Only the main thread may read or set it.
class ManualClock final : public Clock {
 public:
  TimePoint now() const override { return now_; }
  bool isManual() const override { return true; }
  // Moves the clock to `time`; time never runs backwards, so an earlier value is ignored.
  void set(TimePoint time);

 private:
  TimePoint now_{};
};

}  // namespace tolvane
