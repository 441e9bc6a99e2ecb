// Commands that finish without waiting on the music service, and the state report.

#include <benchmark/benchmark.h>

#include <string>

#include "rig.h"

namespace tolvane::bench {
namespace {

// What the queue holds when a command is handled.
enum class Loaded { nothing, song };

// One command, handed over and run to its end: the dispatcher, the answer and the state report
// after it. `error` is the answer's expected error, empty for none; a run that answers otherwise
// reports an error instead of a figure.
void handle(benchmark::State& state, Json command, Loaded loaded, Output output, const std::string& error) {
  Rig rig(output);
  if (loaded == Loaded::song) rig.playStarted("1000000001");
  const Json answer = answerIn(rig.trace(command));
  if (answer.is_null() || textOf(answer, "error") != error) {
    state.SkipWithError(("unexpected answer " + lineOf(answer)).c_str());
    return;
  }
  CommandPool pool(std::move(command), 1024);
  const std::size_t before = rig.messages;
  for (auto _ : state) rig.send(pool.take(state));
  if (rig.launcher.running() != 0) state.SkipWithError("a command did not finish");
  state.SetItemsProcessed(state.iterations());
  state.counters["messages_per_command"] =
      static_cast<double>(rig.messages - before) / static_cast<double>(state.iterations());
}

const Json unknownCommand = {{"type", "x"}, {"id", 17}};
const Json pauseCommand = {{"type", "pause"}, {"id", 17}};
const Json seekCommand = {{"type", "seek"}, {"id", 17}, {"ms", 12000}};

BENCHMARK_CAPTURE(handle, unknown_count, unknownCommand, Loaded::nothing, Output::count, "unknownCommand");
BENCHMARK_CAPTURE(handle, unknown_serialise, unknownCommand, Loaded::nothing, Output::serialise, "unknownCommand");
BENCHMARK_CAPTURE(handle, pause_nothing_loaded_count, pauseCommand, Loaded::nothing, Output::count, "nothingLoaded");
BENCHMARK_CAPTURE(handle, pause_nothing_loaded_serialise, pauseCommand, Loaded::nothing, Output::serialise,
                  "nothingLoaded");
BENCHMARK_CAPTURE(handle, seek_nothing_loaded_count, seekCommand, Loaded::nothing, Output::count, "nothingLoaded");
BENCHMARK_CAPTURE(handle, seek_nothing_loaded_serialise, seekCommand, Loaded::nothing, Output::serialise,
                  "nothingLoaded");
BENCHMARK_CAPTURE(handle, pause_loaded_count, pauseCommand, Loaded::song, Output::count, "");
BENCHMARK_CAPTURE(handle, pause_loaded_serialise, pauseCommand, Loaded::song, Output::serialise, "");

// One state report of a catalog song that is playing.
void report(benchmark::State& state, Output output) {
  Rig rig(output);
  rig.playStarted("1000000001");
  rig.keeping = true;
  rig.player->report();
  rig.keeping = false;
  if (rig.kept.size() != 1 || textOf(rig.kept.front(), "status") != "playing") {
    state.SkipWithError("no report of a playing song");
    return;
  }
  for (auto _ : state) rig.player->report();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(report, count, Output::count);
BENCHMARK_CAPTURE(report, serialise, Output::serialise);

}  // namespace
}  // namespace tolvane::bench
