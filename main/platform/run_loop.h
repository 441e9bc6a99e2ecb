#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
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
  // With a real clock: when the loop runs out of work after running jobs posted from other threads,
  // it yields the processor for up to `spin`, watching for a job, before it goes to sleep. A job
  // that follows the previous one closely (the next command of a parent that waits for each
  // answer) then finds the loop awake, and needs neither a wake-up system call nor a sleeping
  // processor to be woken. Work of the loop's own (timers, jobs it posts itself) never makes it
  // spin, nor does the loop spin past the deadline of a timer. Zero (the default) never spins.
  void setSpinBeforeSleep(Duration spin) { spinBeforeSleep_ = spin; }
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

  // The timers the loop holds, including cancelled ones not yet swept out (for tests).
  std::size_t heldTimers() const { return timers_.size(); }

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
  void sweepCancelledTimers();
  bool awaitAttentionBriefly(std::optional<TimePoint> deadline);
  bool takePostedFromOutside();

  Clock& clock_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;   // guarded by mutex_
  bool quitting_ = false;  // guarded by mutex_
  // Set by post() and quit(), cleared by the loop before it looks for work; read while it spins.
  std::atomic<bool> attention_{false};
  Duration spinBeforeSleep_{0};
  std::thread::id loopThread_;      // guarded by mutex_
  bool postedFromOutside_ = false;  // guarded by mutex_; since the loop last asked
  std::vector<HeapItem> timers_;    // a heap ordered by Later: the earliest deadline at the front
  std::size_t heldAfterSweep_ = 0;
  std::uint64_t nextSequence_ = 0;
};

}  // namespace tolvane
