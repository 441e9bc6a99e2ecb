// "play" as the number of ids grows: the reader's decoding of the line, and the handling of the
// command with every latency of the service at zero (catalog request, queue, start, answer and
// reports). ns_per_id reads as a scaling table.

#include <benchmark/benchmark.h>

#include <string>

#include "music/reader.h"
#include "rig.h"

namespace tolvane::bench {
namespace {

void BM_DecodePlay(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string line = lineOf(playCommand(n));
  Keeper keeper(batchFor(n));
  for (auto _ : state) {
    std::optional<Json> command = decodeCommand(line);
    benchmark::DoNotOptimize(command);
    keeper.keep(state, std::move(command));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
  state.counters["ns_per_id"] = nsPerId(n);
}
BENCHMARK(BM_DecodePlay)->Arg(10)->Arg(1000);
BENCHMARK(BM_DecodePlay)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodePlay)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_HandlePlay(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  Rig rig;
  rig.instant();
  Json command = playCommand(n);
  const std::vector<Json> first = rig.trace(command);
  const Json answer = answerIn(first);
  if (answer.is_null() || member(answer, "error") || rig.player->queued.size() != knownIn(n) || !rig.player->loaded) {
    state.SkipWithError(("unexpected answer " + lineOf(answer)).c_str());
    return;
  }
  CommandPool pool(std::move(command), batchFor(n));
  for (auto _ : state) rig.send(pool.take(state));
  if (rig.launcher.running() != 0 || rig.player->queued.size() != knownIn(n)) {
    state.SkipWithError("a play did not finish");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
  state.counters["ns_per_id"] = nsPerId(n);
}
BENCHMARK(BM_HandlePlay)->Arg(10)->Arg(1000);
BENCHMARK(BM_HandlePlay)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HandlePlay)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace tolvane::bench
