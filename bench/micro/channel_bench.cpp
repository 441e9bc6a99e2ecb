// The message channel: splitting and decoding input lines, serialising output messages.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "music/reader.h"
#include "platform/json.h"
#include "rig.h"

namespace tolvane::bench {
namespace {

// One input line, decoded and parsed as the reader thread does. The parsed command is kept and
// freed outside the timed region, as the reader hands it over instead of freeing it.
void decodeLine(benchmark::State& state, std::string_view line) {
  Keeper keeper(4096);
  for (auto _ : state) {
    std::optional<Json> command = decodeCommand(line);
    benchmark::DoNotOptimize(command);
    keeper.keep(state, std::move(command));
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}

void BM_DecodePause(benchmark::State& state) { decodeLine(state, R"({"type":"pause","id":17})"); }
BENCHMARK(BM_DecodePause);

void BM_DecodePlayFewIds(benchmark::State& state) {
  decodeLine(state, R"({"type":"play","id":17,"ids":["1000000001","1000000002","1000000003"],"token":"t-1"})");
}
BENCHMARK(BM_DecodePlayFewIds);

// A chunk of at most 64 KiB, the reader's read size, of whole short command lines.
std::string chunkOfShortLines(std::size_t* lines) {
  std::string chunk;
  *lines = 0;
  for (int id = 0;; ++id) {
    std::string line;
    switch (id % 3) {
      case 0: line = R"({"type":"pause","id":)" + std::to_string(id) + "}\n"; break;
      case 1:
        line = R"({"type":"seek","id":)" + std::to_string(id) +
               R"(,"ms":12000})"
               "\n";
        break;
      default: line = R"({"type":"check","id":)" + std::to_string(id) + "}\n"; break;
    }
    if (chunk.size() + line.size() > 64 * 1024) return chunk;
    chunk += line;
    ++*lines;
  }
}

// Splitting only: every line reaches the handler, which does nothing with it.
void BM_SplitShortLines(benchmark::State& state) {
  std::size_t lines = 0;
  const std::string chunk = chunkOfShortLines(&lines);
  LineSplitter splitter;
  std::size_t seen = 0;
  const LineSplitter::LineHandler onLine = [&seen](std::string_view line) {
    benchmark::DoNotOptimize(line.data());
    ++seen;
  };
  for (auto _ : state) splitter.feed(chunk, onLine);
  if (seen != lines * static_cast<std::size_t>(state.iterations())) state.SkipWithError("lines went missing");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(lines));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(chunk.size()));
}
BENCHMARK(BM_SplitShortLines);

// Into one buffer reused from message to message, as the helper's writer does.
void serialise(benchmark::State& state, const Json& message) {
  std::size_t bytes = 0;
  std::string line;
  for (auto _ : state) {
    line.clear();
    if (appendMessage(line, message)) bytes += line.size();
    benchmark::DoNotOptimize(line.data());
  }
  if (bytes == 0) state.SkipWithError("the message did not serialise");
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_SerialiseAnswer(benchmark::State& state) { serialise(state, Json{{"type", "answer"}, {"id", 17}}); }
BENCHMARK(BM_SerialiseAnswer);

// A state report of a catalog song that is playing, as the Player builds it.
void BM_SerialiseState(benchmark::State& state) {
  Rig rig;
  rig.playStarted("1000000001");
  rig.keeping = true;
  rig.player->report();
  rig.keeping = false;
  if (rig.kept.size() != 1 || textOf(rig.kept.front(), "type") != "state" || !member(rig.kept.front(), "song")) {
    state.SkipWithError("no state report of a song");
    return;
  }
  serialise(state, rig.kept.front());
}
BENCHMARK(BM_SerialiseState);

}  // namespace
}  // namespace tolvane::bench
