#include "platform/clock.h"

namespace tolvane {

TimePoint SteadyClock::now() const { return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now()); }

void ManualClock::set(TimePoint time) {
  if (time > now_) now_ = time;
}

}  // namespace tolvane
