#include "platform/run_loop.h"

#include <cassert>
#include <utility>

namespace tolvane {

namespace detail {
struct TimerEntry {
  RunLoop::Job action;
  Duration interval{0};  // zero for a one-shot timer
  bool cancelled = false;

  // Releases the action outside of any access to the entry, so that destructors of its captures
  // may safely invalidate this very timer again.
  void cancel() {
    cancelled = true;
    RunLoop::Job released = std::move(action);
    action = nullptr;
  }
};
}  // namespace detail

Timer& Timer::operator=(Timer&& other) noexcept {
  if (this != &other) {
    invalidate();
    entry_ = std::move(other.entry_);
  }
  return *this;
}

Timer::~Timer() { invalidate(); }

void Timer::invalidate() {
  if (auto entry = entry_.lock()) entry->cancel();
  entry_.reset();
}

bool Timer::isValid() const {
  auto entry = entry_.lock();
  return entry && !entry->cancelled;
}

RunLoop::RunLoop(Clock& clock) : clock_(clock) {}

RunLoop::~RunLoop() = default;

void RunLoop::post(Job job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

Timer RunLoop::schedule(Duration delay, Job action) { return add(delay, Duration{0}, std::move(action)); }

Timer RunLoop::scheduleRepeating(Duration interval, Job action) {
  assert(interval > Duration{0});
  return add(interval, interval, std::move(action));
}

void RunLoop::runAfter(Duration delay, Job action) {
  // The loop's heap keeps the entry alive; dropping the handle's weak reference cancels nothing.
  auto entry = std::make_shared<detail::TimerEntry>();
  entry->action = std::move(action);
  push(now() + std::max(delay, Duration{0}), std::move(entry));
}

Timer RunLoop::add(Duration delay, Duration interval, Job action) {
  auto entry = std::make_shared<detail::TimerEntry>();
  entry->action = std::move(action);
  entry->interval = interval;
  Timer handle{entry};
  push(now() + std::max(delay, Duration{0}), std::move(entry));
  return handle;
}

void RunLoop::push(TimePoint deadline, std::shared_ptr<detail::TimerEntry> entry) {
  timers_.push(HeapItem{deadline, nextSequence_++, std::move(entry)});
}

void RunLoop::dropDeadTimers() {
  while (!timers_.empty() && timers_.top().entry->cancelled) timers_.pop();
}

std::optional<TimePoint> RunLoop::nextDeadline() {
  dropDeadTimers();
  if (timers_.empty()) return std::nullopt;
  return timers_.top().deadline;
}

bool RunLoop::runOneJob() {
  Job job;
  {
    std::lock_guard lock(mutex_);
    if (jobs_.empty()) return false;
    job = std::move(jobs_.front());
    jobs_.pop_front();
  }
  job();
  return true;
}

bool RunLoop::fireOneTimer() {
  dropDeadTimers();
  if (timers_.empty()) return false;
  const TimePoint current = now();
  if (timers_.top().deadline > current) return false;
  HeapItem item = timers_.top();
  timers_.pop();
  auto& entry = *item.entry;
  if (entry.interval > Duration{0}) {
    // Keep the beat from the previous deadline; beats missed while the loop was busy are skipped.
    TimePoint next = item.deadline + entry.interval;
    if (next <= current) next += entry.interval * ((current - next) / entry.interval + 1);
    Job action = entry.action;  // a copy: the action may invalidate its own timer while it runs
    push(next, item.entry);
    action();
  } else {
    Job action = std::move(entry.action);
    entry.cancel();
    action();
  }
  return true;
}

void RunLoop::run() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (quitting_) {
        quitting_ = false;
        return;
      }
    }
    if (runOneJob() || fireOneTimer()) continue;
    const std::optional<TimePoint> deadline = clock_.isManual() ? std::nullopt : nextDeadline();
    std::unique_lock lock(mutex_);
    if (!jobs_.empty() || quitting_) continue;
    if (deadline) {
      wake_.wait_until(lock, std::chrono::steady_clock::time_point(deadline->time_since_epoch()));
    } else {
      wake_.wait(lock);
    }
  }
}

void RunLoop::quit() {
  {
    std::lock_guard lock(mutex_);
    quitting_ = true;
  }
  wake_.notify_one();
}

std::size_t RunLoop::runUntilIdle() {
  std::size_t count = 0;
  while (runOneJob() || fireOneTimer()) ++count;
  return count;
}

void RunLoop::advance(Duration duration) {
  auto* manual = dynamic_cast<ManualClock*>(&clock_);
  assert(manual != nullptr && "advance() needs a manual clock");
  const TimePoint target = now() + duration;
  for (;;) {
    runUntilIdle();
    const auto next = nextDeadline();
    if (!next || *next > target) break;
    manual->set(*next);
  }
  manual->set(target);
  runUntilIdle();
}

}  // namespace tolvane
