#include "platform/run_loop.h"

#include <sched.h>

#include <algorithm>
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
    if (std::this_thread::get_id() != loopThread_) postedFromOutside_ = true;
    attention_.store(true, std::memory_order_release);
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
  timers_.push_back(HeapItem{deadline, nextSequence_++, std::move(entry)});
  std::push_heap(timers_.begin(), timers_.end(), Later{});
  // A cancelled timer leaves the heap when it comes to the front, which for a far deadline may be
  // an hour away. Once the heap has doubled since it was last swept, the cancelled ones go at once:
  // a linear sweep per doubling, so a constant cost per timer.
  if (timers_.size() >= 2 * heldAfterSweep_ + 64) sweepCancelledTimers();
}

void RunLoop::sweepCancelledTimers() {
  std::erase_if(timers_, [](const HeapItem& item) { return item.entry->cancelled; });
  std::make_heap(timers_.begin(), timers_.end(), Later{});
  heldAfterSweep_ = timers_.size();
}

void RunLoop::dropDeadTimers() {
  while (!timers_.empty() && timers_.front().entry->cancelled) {
    std::pop_heap(timers_.begin(), timers_.end(), Later{});
    timers_.pop_back();
  }
  heldAfterSweep_ = std::min(heldAfterSweep_, timers_.size());
}

std::optional<TimePoint> RunLoop::nextDeadline() {
  dropDeadTimers();
  if (timers_.empty()) return std::nullopt;
  return timers_.front().deadline;
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
  if (timers_.front().deadline > current) return false;
  std::pop_heap(timers_.begin(), timers_.end(), Later{});
  HeapItem item = std::move(timers_.back());
  timers_.pop_back();
  heldAfterSweep_ = std::min(heldAfterSweep_, timers_.size());
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
  {
    std::lock_guard lock(mutex_);
    loopThread_ = std::this_thread::get_id();
  }
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (quitting_) {
        quitting_ = false;
        return;
      }
    }
    attention_.store(false, std::memory_order_relaxed);
    if (runOneJob() || fireOneTimer()) continue;
    const std::optional<TimePoint> deadline = clock_.isManual() ? std::nullopt : nextDeadline();
    if (!clock_.isManual() && takePostedFromOutside() && awaitAttentionBriefly(deadline)) continue;
    std::unique_lock lock(mutex_);
    if (!jobs_.empty() || quitting_) continue;
    if (deadline) {
      wake_.wait_until(lock, std::chrono::steady_clock::time_point(deadline->time_since_epoch()));
    } else {
      wake_.wait(lock);
    }
  }
}

bool RunLoop::takePostedFromOutside() {
  std::lock_guard lock(mutex_);
  return std::exchange(postedFromOutside_, false);
}

bool RunLoop::awaitAttentionBriefly(std::optional<TimePoint> deadline) {
  if (spinBeforeSleep_ <= Duration{0}) return false;
  TimePoint until = now() + spinBeforeSleep_;
  if (deadline && *deadline < until) until = *deadline;
  while (!attention_.load(std::memory_order_acquire)) {
    if (now() >= until) return false;
    sched_yield();  // lets the thread that will post, or any other, run on this processor first
  }
  return true;
}

void RunLoop::quit() {
  {
    std::lock_guard lock(mutex_);
    quitting_ = true;
    attention_.store(true, std::memory_order_release);
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
