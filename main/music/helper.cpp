#include "music/helper.h"

#include <unistd.h>

#include <thread>

#include "music/delegate.h"
#include "music/reader.h"
#include "music/write.h"
#include "music_service/simulated_service.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "platform/task_launcher.h"
#include "player/player.h"

namespace tolvane {

Task<> runCommand(std::shared_ptr<Player> player, Json command) { co_await player->handle(std::move(command)); }

namespace {

// The reader thread: hands every command to the main loop, then ends the process there, after the
// commands it handed over have been taken up (a command that waits on the music service is
// abandoned; its answer never appears).
void startReader(std::shared_ptr<Player> player, RunLoop& loop, TaskLauncher& launcher, Application& app) {
  std::thread([player = std::move(player), &loop, &launcher, &app] {
    readCommands(STDIN_FILENO, [&](Json command) {
      loop.post([player, &launcher, command = std::move(command)]() mutable {
        launcher.keep(runCommand(player, std::move(command)));
      });
    });
    loop.post([&app] { app.exitNow(); });
  }).detach();
}

}  // namespace

int Helper::main() {
  SteadyClock clock;
  RunLoop loop(clock);

  Application app(loop);
  app.installSignalHandling();
  app.setActivationPolicy(ActivationPolicy::prohibited);
  Delegate delegate;
  app.setDelegate(&delegate);

  SimulatedService service(loop);
  TaskLauncher launcher(loop);
  std::shared_ptr<Player> player = Player::create(service, loop, [](const Json& message) { write(message); });

  startReader(player, loop, launcher, app);
  app.run();
  return 0;
}

}  // namespace tolvane
