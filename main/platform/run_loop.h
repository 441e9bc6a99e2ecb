#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <vector>

#include "platform/clock.h"

namespace tolvane {

class RunLoop;

namespace detail {
struct TimerEntry;
}

// A move-only handle to a timer scheduled on a RunLoop.
// After invalidate(), or after the handle is destroyed, the timer's action never runs again, even
// if its deadline has already passed, and the action (with whatever it captured) is released.
// A handle may outlive its loop; it then does nothing.
class Timer {
 public:
  Timer() = default;
  Timer(Timer&&) noexcept = default;
  Timer& operator=(Timer&& other) noexcept;
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  ~Timer();

  void invalidate();
  bool isValid() const;

 private:
  friend class RunLoop;
  explicit Timer(std::weak_ptr<detail::TimerEntry> entry) : entry_(std::move(entry)) {}
  std::weak_ptr<detail::TimerEntry> entry_;
};

// The main loop: one queue of jobs and a heap of timers, run on the thread that calls run().
//
// Thread safety: only post() may be called from other threads. Everything else, timers included,
// belongs to the loop's own thread.
//
// Jobs run in the order they were posted. Timers fire in deadline order; equal deadlines fire in
// the order they were scheduled. A repeating timer keeps its beat from its previous deadline.
// With a real clock the loop sleeps when it has nothing to do; it never polls.
class RunLoop {
 public:
  using Job = std::function<void()>;

  explicit RunLoop(Clock& clock);
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  ~RunLoop();

  Clock& clock() const { return clock_; }
  TimePoint now() const { return clock_.now(); }

  // Thread-safe. Queues `job` to run on the loop's thread and wakes the loop.
  void post(Job job);

  // Runs `action` once, `delay` from now. The returned handle can cancel it.
  [[nodiscard]] Timer schedule(Duration delay, Job action);
  // Runs `action` every `interval`, the first time `interval` from now, until invalidated.
  [[nodiscard]] Timer scheduleRepeating(Duration interval, Job action);
  // Runs `action` once, `delay` from now, with no way to cancel it.
  void runAfter(Duration delay, Job action);

  // Runs jobs and due timers until quit() is called. Sleeps while idle.
  void run();
  // Makes run() return once the job or timer that is running has finished.
  void quit();

  // For manually clocked loops and tests. Runs every queued job and every timer that is due now,
  // including the work they queue in turn, without waiting. Returns the number of jobs and timer
  // actions run.
  std::size_t runUntilIdle();
  // For manually clocked loops. Visits each deadline up to now + `duration` in order, setting the
  // clock to it before firing what is due, and runs the loop until idle at each step. The clock
  // ends at now + `duration`.
  void advance(Duration duration);

  // The earliest deadline of a live timer, if any.
  std::optional<TimePoint> nextDeadline();

 private:
  struct HeapItem {
    TimePoint deadline;
    std::uint64_t sequence;
    std::shared_ptr<detail::TimerEntry> entry;
  };
  struct Later {
    bool operator()(const HeapItem& a, const HeapItem& b) const {
      return a.deadline != b.deadline ? a.deadline > b.deadline : a.sequence > b.sequence;
    }
  };

  Timer add(Duration delay, Duration interval, Job action);
  void push(TimePoint deadline, std::shared_ptr<detail::TimerEntry> entry);
  bool runOneJob();
  bool fireOneTimer();
  void dropDeadTimers();

  Clock& clock_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;   // guarded by mutex_
  bool quitting_ = false;  // guarded by mutex_
  std::priority_queue<HeapItem, std::vector<HeapItem>, Later> timers_;
  std::uint64_t nextSequence_ = 0;
};

}  // namespace tolvane
