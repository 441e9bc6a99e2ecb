#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace tolvane {

namespace detail {
struct PublisherState;
}

// A move-only subscription handle. Destroying it, or calling cancel(), ends the subscription: the
// receiver is never called again, even by a send() that is delivering at that moment.
class Cancellable {
 public:
  Cancellable() = default;
  Cancellable(Cancellable&&) noexcept = default;
  Cancellable& operator=(Cancellable&& other) noexcept;
  Cancellable(const Cancellable&) = delete;
  Cancellable& operator=(const Cancellable&) = delete;
  ~Cancellable();

  void cancel();

 private:
  friend class Publisher;
  Cancellable(std::weak_ptr<detail::PublisherState> state, std::uint64_t id) : state_(std::move(state)), id_(id) {}
  std::weak_ptr<detail::PublisherState> state_;
  std::uint64_t id_ = 0;
};

// A publisher of empty values that never fails ("something is about to change").
// Single-threaded: use it on the main loop only. Receivers may subscribe or cancel, themselves or
// others, while a send() is delivering; a receiver added during a send() first hears the next one.
class Publisher {
 public:
  Publisher();
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;
  ~Publisher();

  [[nodiscard]] Cancellable sink(std::function<void()> receiver);
  void send();
  std::size_t subscriberCount() const;

 private:
  std::shared_ptr<detail::PublisherState> state_;
};

}  // namespace tolvane
