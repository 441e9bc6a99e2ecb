#include "player/player.h"

#include "platform/memory.h"

namespace tolvane {

Player::Player(ConstructionTag, MusicService& service, RunLoop& loop, Writer write)
    : service(service), write(std::move(write)), player(service.player()), loop_(loop) {}

std::shared_ptr<Player> Player::create(MusicService& service, RunLoop& loop, Writer write) {
  auto self = std::make_shared<Player>(ConstructionTag{}, service, loop, std::move(write));
  self->stateWatch = self->player.stateWillChange().sink(self->reportLater());
  self->watchQueue();
  return self;
}

std::function<void()> Player::reportLater() {
  // The notification is sent before the change it announces; the report runs afterwards, in a job
  // of its own, and reads the changed state.
  return [weak = weak_from_this(), &loop = loop_] {
    loop.post([weak] {
      if (auto self = weak.lock()) self->report();
    });
  };
}

void Player::watchQueue() { queueWatch = player.queue()->objectWillChange().sink(reportLater()); }

void Player::invalidateTimer() {
  if (timer) timer->invalidate();
  timer.reset();
}

void Player::keepReporting() {
  invalidateTimer();
  timer = loop_.scheduleRepeating(
      reportInterval, [self = shared_from_this(), &loop = loop_] { loop.post([self] { self->report(); }); });
}

void Player::stop() {
  ++generation;
  stopped = true;
  loaded = false;
  started = false;
  lastPlayed.reset();
  const bool large = forgetLists();
  player.stop();
  invalidateTimer();
  if (large) returnFreeMemory();
}

bool Player::forgetLists() {
  const bool large = requested.size() + queued.size() >= largeQueue;
  // Swapped, not cleared: a cleared vector keeps its capacity.
  std::vector<std::string>().swap(requested);
  std::vector<std::string>().swap(queued);
  return large;
}

void Player::end(JsonObject& event) {
  event["status"] = "ended";
  loaded = false;
  invalidateTimer();
}

}  // namespace tolvane
