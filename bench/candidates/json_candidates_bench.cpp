// The JSON libraries of Debian 12 that could carry the helper's messages, measured on the helper's
// own work: parse a command line into a value and read its "type" and "id", and build an answer
// holding that id and serialise it. Each library is used the way it is fastest: a parser and an
// arena reused from line to line where it has them.

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include <boost/json.hpp>
#include <boost/json/src.hpp>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view pauseLine = R"({"type":"pause","id":17})";
constexpr std::string_view playLine =
    R"({"type":"play","id":17,"ids":["1000000001","1000000002","1000000003","1000000004","1000000005",)"
    R"("1000000006","1000000007","1000000008","1000000009","1000000010"],"token":{"queue":"t-1","n":2.5}})";

// --- nlohmann::json: a std::map per object, an allocation per node ---

void nlohmannParse(benchmark::State& state, std::string_view line) {
  for (auto _ : state) {
    nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
    benchmark::DoNotOptimize(value["type"].get_ref<const std::string&>().size());
    benchmark::DoNotOptimize(value["id"]);
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_Nlohmann_ParsePause(benchmark::State& s) { nlohmannParse(s, pauseLine); }
void BM_Nlohmann_ParsePlay10(benchmark::State& s) { nlohmannParse(s, playLine); }
void BM_Nlohmann_Answer(benchmark::State& state) {
  const nlohmann::json id = 17;
  std::string out;
  for (auto _ : state) {
    nlohmann::json answer = {{"type", "answer"}, {"id", id}};
    out.clear();
    out = answer.dump();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Nlohmann_ParsePause);
BENCHMARK(BM_Nlohmann_ParsePlay10);
BENCHMARK(BM_Nlohmann_Answer);

// --- Boost.JSON: a reused parser, values in a monotonic arena over a reused buffer ---

void boostParse(benchmark::State& state, std::string_view line) {
  unsigned char temp[4096];
  boost::json::parser parser(boost::json::storage_ptr(), {}, temp);
  unsigned char arena[8192];
  for (auto _ : state) {
    boost::json::monotonic_resource resource(arena, sizeof arena);
    parser.reset(&resource);
    boost::system::error_code error;
    parser.write(line.data(), line.size(), error);
    boost::json::value value = parser.release();
    const boost::json::object& object = value.as_object();
    benchmark::DoNotOptimize(object.find("type")->value().as_string().size());
    benchmark::DoNotOptimize(object.find("id")->value().kind());
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_BoostJson_ParsePause(benchmark::State& s) { boostParse(s, pauseLine); }
void BM_BoostJson_ParsePlay10(benchmark::State& s) { boostParse(s, playLine); }
void BM_BoostJson_Answer(benchmark::State& state) {
  const boost::json::value id = 17;
  unsigned char arena[1024];
  boost::json::serializer serializer;
  std::string out;
  for (auto _ : state) {
    boost::json::monotonic_resource resource(arena, sizeof arena);
    boost::json::object answer(&resource);
    answer.emplace("type", "answer");
    answer.emplace("id", id);
    boost::json::value message(std::move(answer));
    serializer.reset(&message);
    out.clear();
    char buffer[256];
    while (!serializer.done()) out.append(serializer.read(buffer));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BoostJson_ParsePause);
BENCHMARK(BM_BoostJson_ParsePlay10);
BENCHMARK(BM_BoostJson_Answer);

// --- RapidJSON: full-precision numbers, values in a pool over a reused buffer ---

void rapidParse(benchmark::State& state, std::string_view line) {
  char valueBuffer[8192];
  char parseBuffer[4096];
  for (auto _ : state) {
    rapidjson::MemoryPoolAllocator<> valueAllocator(valueBuffer, sizeof valueBuffer);
    rapidjson::MemoryPoolAllocator<> parseAllocator(parseBuffer, sizeof parseBuffer);
    rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>, rapidjson::MemoryPoolAllocator<>>
        document(&valueAllocator, 1024, &parseAllocator);
    document.Parse<rapidjson::kParseFullPrecisionFlag>(line.data(), line.size());
    benchmark::DoNotOptimize(document["type"].GetStringLength());
    benchmark::DoNotOptimize(document["id"].GetType());
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_RapidJson_ParsePause(benchmark::State& s) { rapidParse(s, pauseLine); }
void BM_RapidJson_ParsePlay10(benchmark::State& s) { rapidParse(s, playLine); }
void BM_RapidJson_Answer(benchmark::State& state) {
  char valueBuffer[1024];
  rapidjson::StringBuffer out;
  for (auto _ : state) {
    rapidjson::MemoryPoolAllocator<> allocator(valueBuffer, sizeof valueBuffer);
    rapidjson::Value answer(rapidjson::kObjectType);
    answer.AddMember("type", "answer", allocator);
    answer.AddMember("id", 17, allocator);
    out.Clear();
    rapidjson::Writer<rapidjson::StringBuffer> writer(out);
    answer.Accept(writer);
    benchmark::DoNotOptimize(out.GetString());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RapidJson_ParsePause);
BENCHMARK(BM_RapidJson_ParsePlay10);
BENCHMARK(BM_RapidJson_Answer);

// --- simdjson: a reused DOM parser; documents are read-only, so it has no answer to build ---

void simdParse(benchmark::State& state, std::string_view line) {
  simdjson::dom::parser parser;
  const simdjson::padded_string padded(line);
  for (auto _ : state) {
    simdjson::dom::element value;
    if (parser.parse(padded).get(value)) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(std::string_view(value["type"]).size());
    benchmark::DoNotOptimize(value["id"].type());
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_Simdjson_ParsePause(benchmark::State& s) { simdParse(s, pauseLine); }
void BM_Simdjson_ParsePlay10(benchmark::State& s) { simdParse(s, playLine); }
BENCHMARK(BM_Simdjson_ParsePause);
BENCHMARK(BM_Simdjson_ParsePlay10);

}  // namespace

BENCHMARK_MAIN();
