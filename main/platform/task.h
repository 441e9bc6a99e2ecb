#pragma once

// Start policy: eager. Calling a coroutine that returns Task<T> runs its body at once, on the
// calling thread (always the main loop), until its first suspension.
//
// Resumption: a Task suspends only by awaiting a Future, which resumes it on the main loop in a
// job of its own, never inside the call that completed the Future; or by awaiting another Task,
// which resumes it directly when that task finishes.
//
// Lifetime: a Task owns its coroutine frame. Destroying a Task destroys an unfinished coroutine and,
// with it, whatever it is awaiting. Top-level tasks are kept alive by a TaskLauncher.
//
// A coroutine body must not throw: an escaping exception ends the process.

#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

#include "platform/frame_pool.h"

namespace tolvane {

template <typename T>
class Task;

namespace detail {

struct TaskPromiseBase {
  // Frames are recycled rather than allocated afresh for each task.
  static void* operator new(std::size_t size) { return FramePool::allocate(size); }
  static void operator delete(void* frame, std::size_t size) noexcept { FramePool::release(frame, size); }

  std::coroutine_handle<> continuation;
  // Set by a TaskLauncher on a task nobody awaits; called once the task has finished. It may destroy
  // the frame, so it is moved out of the frame before it runs.
  std::function<void()> onFinished;

  std::suspend_never initial_suspend() noexcept { return {}; }

  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <typename Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept {
      TaskPromiseBase& promise = self.promise();
      if (promise.continuation) return promise.continuation;
      if (promise.onFinished) {
        std::function<void()> finished = std::move(promise.onFinished);
        finished();  // the frame may be gone from here on
      }
      return std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }

  void unhandled_exception() noexcept { std::terminate(); }
};

template <typename T>
struct TaskPromise : TaskPromiseBase {
  std::optional<T> value;
  Task<T> get_return_object() noexcept;
  template <typename U>
  void return_value(U&& result) {
    value.emplace(std::forward<U>(result));
  }
};

template <>
struct TaskPromise<void> : TaskPromiseBase {
  Task<void> get_return_object() noexcept;
  void return_void() noexcept {}
};

}  // namespace detail

template <typename T = void>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::TaskPromise<T>;
  using Handle = std::coroutine_handle<promise_type>;

  Task() = default;
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  bool done() const { return !handle_ || handle_.done(); }

  // Awaiting a task resumes the awaiting coroutine when the task finishes (at once if it has).
  bool await_ready() const noexcept { return handle_.done(); }
  void await_suspend(std::coroutine_handle<> awaiting) noexcept { handle_.promise().continuation = awaiting; }
  T await_resume() {
    if constexpr (!std::is_void_v<T>) return std::move(*handle_.promise().value);
  }

  // The launcher's hook: called once an unawaited task finishes.
  void onFinished(std::function<void()> finished) { handle_.promise().onFinished = std::move(finished); }

 private:
  friend struct detail::TaskPromise<T>;
  explicit Task(Handle handle) : handle_(handle) {}
  void reset() {
    if (handle_) std::exchange(handle_, {}).destroy();
  }
  Handle handle_;
};

namespace detail {
template <typename T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
  return Task<T>{Task<T>::Handle::from_promise(*this)};
}
inline Task<void> TaskPromise<void>::get_return_object() noexcept {
  return Task<void>{Task<void>::Handle::from_promise(*this)};
}
}  // namespace detail

}  // namespace tolvane
