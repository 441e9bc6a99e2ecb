#pragma once

// The awaitable result of an asynchronous operation, and the Completer that delivers it.
//
// Threading: both ends belong to the main loop. complete() stores the value and posts the waiting
// coroutine's resumption to the loop as a job of its own, so a completion never runs the waiter
// inside the completing call.
//
// Lifetime: a Future may be destroyed while a coroutine waits on it (its frame was destroyed);
// the posted resumption then does nothing. Completing a Future nobody awaits any more is harmless.

#include <coroutine>
#include <memory>
#include <optional>
#include <utility>

#include "platform/run_loop.h"

namespace tolvane {

namespace detail {
template <typename T>
struct FutureState {
  explicit FutureState(RunLoop& l) : loop(&l) {}
  RunLoop* loop;
  std::optional<T> value;
  std::coroutine_handle<> waiter;
};
}  // namespace detail

template <typename T>
class [[nodiscard]] Future {
 public:
  explicit Future(std::shared_ptr<detail::FutureState<T>> state) : state_(std::move(state)) {}
  Future(Future&&) noexcept = default;
  Future& operator=(Future&&) = delete;
  Future(const Future&) = delete;
  Future& operator=(const Future&) = delete;
  ~Future() {
    if (state_) state_->waiter = {};
  }

  bool await_ready() const noexcept { return state_->value.has_value(); }
  void await_suspend(std::coroutine_handle<> waiting) noexcept { state_->waiter = waiting; }
  T await_resume() { return std::move(*state_->value); }

 private:
  std::shared_ptr<detail::FutureState<T>> state_;
};

template <typename T>
class Completer {
 public:
  explicit Completer(RunLoop& loop) : state_(std::make_shared<detail::FutureState<T>>(loop)) {}

  Future<T> future() const { return Future<T>{state_}; }

  // Completes the future once; later calls are ignored.
  void complete(T value) const {
    if (state_->value) return;
    state_->value.emplace(std::move(value));
    if (!state_->waiter) return;
    state_->loop->post([state = state_] {
      if (auto waiter = std::exchange(state->waiter, {})) waiter.resume();
    });
  }

 private:
  std::shared_ptr<detail::FutureState<T>> state_;
};

}  // namespace tolvane
