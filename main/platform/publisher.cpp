#include "platform/publisher.h"

#include <algorithm>

namespace tolvane {

namespace detail {
struct PublisherState {
  struct Subscriber {
    std::uint64_t id;
    std::shared_ptr<std::function<void()>> receiver;
  };
  std::vector<Subscriber> subscribers;
  std::uint64_t nextId = 1;

  void remove(std::uint64_t id) {
    std::erase_if(subscribers, [id](const Subscriber& s) { return s.id == id; });
  }
  std::shared_ptr<std::function<void()>> find(std::uint64_t id) const {
    auto it = std::find_if(subscribers.begin(), subscribers.end(), [id](const Subscriber& s) { return s.id == id; });
    return it == subscribers.end() ? nullptr : it->receiver;
  }
};
}  // namespace detail

Cancellable& Cancellable::operator=(Cancellable&& other) noexcept {
  if (this != &other) {
    cancel();
    state_ = std::move(other.state_);
    id_ = other.id_;
  }
  return *this;
}

Cancellable::~Cancellable() { cancel(); }

void Cancellable::cancel() {
  if (auto state = state_.lock()) state->remove(id_);
  state_.reset();
}

Publisher::Publisher() : state_(std::make_shared<detail::PublisherState>()) {}

Publisher::~Publisher() = default;

Cancellable Publisher::sink(std::function<void()> receiver) {
  const std::uint64_t id = state_->nextId++;
  state_->subscribers.push_back({id, std::make_shared<std::function<void()>>(std::move(receiver))});
  return Cancellable{state_, id};
}

void Publisher::send() {
  // Deliver to the subscribers present when the send began, skipping any that left meanwhile.
  // The state is held so that a receiver may destroy the publisher itself.
  auto state = state_;
  std::vector<std::uint64_t> ids;
  ids.reserve(state->subscribers.size());
  for (const auto& s : state->subscribers) ids.push_back(s.id);
  for (std::uint64_t id : ids) {
    if (auto receiver = state->find(id)) (*receiver)();
  }
}

std::size_t Publisher::subscriberCount() const { return state_->subscribers.size(); }

}  // namespace tolvane
