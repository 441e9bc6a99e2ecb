#include "music/helper.h"

#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "music/delegate.h"
#include "music/reader.h"
#include "music/write.h"
#include "music_service/simulated/simulated_service.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "platform/task_launcher.h"
#include "player/player.h"

namespace tolvane {

Task<> runCommand(std::shared_ptr<Player> player, Json command, std::shared_ptr<const void> storage) {
  co_await player->handle(std::move(command));
  storage.reset();  // the command's storage goes last
}

namespace {

// True when the parent has closed its end of our input (unread data may still be there).
bool inputClosed() {
  pollfd hangUp{STDIN_FILENO, 0, 0};
  return ::poll(&hangUp, 1, 0) > 0 && (hangUp.revents & POLLHUP) != 0;
}

// Bounds the commands handed over to the main loop but not yet taken up there, so that a parent
// writing faster than commands are answered holds its data in the pipe instead of in our memory.
// It never waits for a command to finish: a command is taken up when it starts running.
class Backlog {
 public:
  // Commands held at most, plus one batch: the reader only waits before handing a batch over.
  static constexpr std::size_t limit = 4096;

  // Reader thread: waits while the backlog is full, then counts `count` more commands. A full
  // backlog behind a main loop held in a write to a parent that has also closed our input will never
  // drain: that is the end of input, and the process ends.
  void enter(std::size_t count) {
    std::unique_lock lock(mutex_);
    while (!roomLeft_.wait_for(lock, std::chrono::milliseconds(50), [this] { return pending_ < limit; })) {
      if (outputBlocked() && inputClosed()) Application::immediateExit(0);
    }
    pending_ += count;
  }
  // Main thread: `count` commands have been taken up.
  void leave(std::size_t count) {
    bool wasFull = false;
    {
      std::lock_guard lock(mutex_);
      wasFull = pending_ >= limit;
      pending_ -= count;
    }
    if (wasFull) roomLeft_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable roomLeft_;
  std::size_t pending_ = 0;
};

// The reader thread: hands every command to the main loop, then ends the process there, after the
// commands it handed over have been taken up (a command that waits on the music service is
// abandoned; its answer never appears). When the main loop cannot get there because it is held in
// a write to a parent that stopped reading, the reader ends the process itself: what could not be
// written is lost, as at any end of input.
void startReader(std::shared_ptr<Player> player, RunLoop& loop, TaskLauncher& launcher, Application& app) {
  std::thread([player = std::move(player), &loop, &launcher, &app] {
    auto backlog = std::make_shared<Backlog>();  // shared with the jobs, which may outlive this thread
    readCommands(STDIN_FILENO, [&](Commands batch) {
      backlog->enter(batch.size());
      loop.post([player, &launcher, backlog, batch = std::move(batch)]() mutable {
        backlog->leave(batch.size());
        for (Json& command : batch) launcher.keep(runCommand(player, std::move(command), batch.keeper()));
      });
    });
    loop.post([&app] { app.endOfInput(); });
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (outputBlocked()) Application::immediateExit(0);
    }
  }).detach();
}

}  // namespace

int Helper::main() {
  return main([](RunLoop& loop) { return std::make_shared<SimulatedService>(loop); });
}

int Helper::main(const ServiceMaker& makeService) {
  // Blocks of a megabyte or more (the buffers of a very long line, its answer) come straight from
  // the system and go straight back when freed, instead of lingering in the heap.
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);

  SteadyClock clock;
  RunLoop loop(clock);
  // Long enough to cover a parent's turnaround between an answer and its next command, short
  // enough to cost nothing noticeable when commands are rare.
  loop.setSpinBeforeSleep(std::chrono::microseconds(100));

  Application app(loop);
  app.installSignalHandling(Delegate::replyDelay);
  app.setActivationPolicy(ActivationPolicy::prohibited);
  Delegate delegate;
  app.setDelegate(&delegate);

  const std::shared_ptr<MusicService> service = makeService(loop);
  TaskLauncher launcher(loop);
  std::shared_ptr<Player> player = Player::create(*service, loop, [](const Json& message) { write(message); });

  startReader(player, loop, launcher, app);
  app.run();
  return 0;
}

}  // namespace tolvane
