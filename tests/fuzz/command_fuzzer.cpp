// Arbitrary bytes through the whole input path, in process: split into lines, decoded, parsed and
// handed to the real Player with the simulated service on a manual clock, with time moving on
// between lines. Checks what must hold for any input: every message serialises to one line of
// JSON that parses back, and every command gets exactly one answer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "music/helper.h"
#include "music/reader.h"
#include "music_service/simulated/simulated_service.h"
#include "platform/clock.h"
#include "platform/json.h"
#include "platform/run_loop.h"
#include "platform/task_launcher.h"
#include "player/player.h"

namespace {

using namespace std::chrono_literals;

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvane;
  ManualClock clock;
  RunLoop loop(clock);
  SimulatedService service(loop);
  TaskLauncher launcher(loop);

  std::size_t commands = 0;
  std::size_t answers = 0;
  auto player = Player::create(service, loop, [&answers](const Json& message) {
    if (const auto line = serializeMessage(message)) {
      require(line->find('\n') == std::string::npos);
      require(parseObjectLine(*line).has_value());
    }
    const Json* type = member(message, "type");
    if (type && type->is_string() && type->get_string() == "answer") ++answers;
  });

  LineSplitter splitter;
  const LineSplitter::LineHandler onLine = [&](std::string_view line) {
    if (auto command = decodeCommand(line)) {
      ++commands;
      launcher.launch([player, c = std::move(*command)] { return runCommand(player, c); });
      loop.runUntilIdle();
    }
    // Let time pass between lines, by an amount the input chooses: from nothing to several seconds,
    // so that commands sometimes overtake waiting ones and songs sometimes play out.
    const auto pause = line.empty() ? 0 : static_cast<unsigned char>(line.back()) % 32;
    loop.advance(std::chrono::milliseconds(pause * pause * 8));
  };
  splitter.feed(std::string_view(reinterpret_cast<const char*>(data), size), onLine);
  splitter.finish(onLine);

  // Every wait of the service is over well within this; then each command has been answered.
  loop.advance(30s);
  require(answers == commands);
  require(launcher.running() == 0);
  return 0;
}
