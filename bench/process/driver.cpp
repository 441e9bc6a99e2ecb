// The process-level benchmark: runs the helper and the limit program alternately, in the same run,
// and writes every figure with its minimum, median and maximum over the runs, and each ratio
// helper/limit computed within one run. With --micro it adds the micro-benchmark figures.
//
// tolvane_process_bench --helper PATH --limit PATH [--runs N] [--micro FILE.json] [--notes FILE.md]
//                       [--out FILE.md] [--only flood,roundtrip,startup,play,idle]

#include <sys/utsname.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "measures.h"

using namespace tolvane::bench;

namespace {

struct Options {
  std::string helper;
  std::string limit;
  int runs = 3;
  std::string micro;
  std::string notes;
  std::string out;
  std::string commandLine;
  std::string only;  // comma-separated groups: flood,roundtrip,startup,play,idle; empty for all

  bool wants(const std::string& group) const {
    return only.empty() || ("," + only + ",").find("," + group + ",") != std::string::npos;
  }
};

// One figure over the runs.
struct Series {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  double min() const { return *std::min_element(values.begin(), values.end()); }
  double max() const { return *std::max_element(values.begin(), values.end()); }
  double median() const {
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  }
};

struct Row {
  std::string figure;
  std::string unit;
  Series helper;
  Series limit;  // empty when the figure has no counterpart in the limit program
  Series ratio;  // helper / limit, per run
  std::string target;
  // Whether the target holds for a median; empty target means none.
  std::function<bool(double helperMedian, double ratioMedian)> met;
};

std::string format(double v) {
  char text[64];
  if (v != 0 && (std::fabs(v) >= 1e5)) {
    std::snprintf(text, sizeof text, "%.0f", v);
  } else if (std::fabs(v) >= 100) {
    std::snprintf(text, sizeof text, "%.1f", v);
  } else {
    std::snprintf(text, sizeof text, "%.3g", v);
  }
  return text;
}

std::string triple(const Series& s) {
  if (s.values.empty()) return "–";
  return format(s.min()) + " / " + format(s.median()) + " / " + format(s.max());
}

std::string firstLineOf(const std::string& path, const std::string& prefix) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(prefix)) {
      const auto colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(colon + 2);
    }
  }
  return "unknown";
}

std::string machine() {
  utsname name{};
  uname(&name);
  std::ostringstream out;
  out << "- CPU: " << firstLineOf("/proc/cpuinfo", "model name") << ", " << std::thread::hardware_concurrency()
      << " logical CPUs\n"
      << "- Memory: " << firstLineOf("/proc/meminfo", "MemTotal") << "\n"
      << "- Kernel: " << name.sysname << " " << name.release << " " << name.machine << "\n"
      << "- Compiler: g++ " << __VERSION__ << ", CMake Release (-O3 -DNDEBUG)\n";
  const std::time_t now = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  out << "- Date: " << date << "\n";
  return out.str();
}

// Micro-benchmark rows from Google Benchmark's JSON output: min / median / max of the repetitions.
std::string microSection(const std::string& path) {
  std::ifstream in(path);
  if (!in) return "Micro-benchmark results not found at " + path + ".\n";
  const nlohmann::json results = nlohmann::json::parse(in, nullptr, false);
  if (results.is_discarded()) return "Micro-benchmark results at " + path + " are not JSON.\n";
  std::map<std::string, Series> times;
  std::map<std::string, Series> perItem;
  std::map<std::string, std::string> units;
  std::vector<std::string> order;
  for (const auto& b : results.value("benchmarks", nlohmann::json::array())) {
    if (b.value("run_type", "") != "iteration") continue;
    const std::string name = b.value("run_name", b.value("name", ""));
    if (!times.count(name)) order.push_back(name);
    times[name].add(b.value("real_time", 0.0));
    units[name] = b.value("time_unit", "ns");
    if (b.contains("items_per_second") && b["items_per_second"].get<double>() > 0) {
      perItem[name].add(1e9 / b["items_per_second"].get<double>());
    }
  }
  std::ostringstream out;
  out << "| benchmark | time per iteration, min / median / max | ns per item, min / median / max |\n"
      << "|---|---|---|\n";
  for (const auto& name : order) {
    out << "| `" << name << "` | " << triple(times[name]) << " " << units[name] << " | "
        << (perItem.count(name) ? triple(perItem[name]) : "–") << " |\n";
  }
  return out.str();
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) options.commandLine += std::string(i > 1 ? " " : "") + argv[i];
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--helper") options.helper = value;
    if (key == "--limit") options.limit = value;
    if (key == "--runs") options.runs = std::max(1, std::stoi(value));
    if (key == "--micro") options.micro = value;
    if (key == "--notes") options.notes = value;
    if (key == "--out") options.out = value;
    if (key == "--only") options.only = value;
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  if (options.helper.empty() || options.limit.empty()) {
    std::cerr << "usage: tolvane_process_bench --helper PATH --limit PATH [--runs N] [--micro FILE.json] "
                 "[--notes FILE.md] [--out FILE.md]\n";
    return 2;
  }
  constexpr std::int64_t floodLines = 1'000'000;
  constexpr int roundTrips = 20'000;
  constexpr int starts = 50;
  constexpr std::int64_t playIds = 1'000'000;
  constexpr double idleSeconds = 10;

  auto atLeast = [](double bound) { return [bound](double, double ratio) { return ratio >= bound; }; };
  auto ratioAtMost = [](double bound) { return [bound](double, double ratio) { return ratio <= bound; }; };
  auto atMost = [](double bound) { return [bound](double helper, double) { return helper <= bound; }; };

  Row floodRate{"flood: answers per second", "1/s", {}, {}, {}, "ratio ≥ 0.6", atLeast(0.6)};
  Row floodTime{"flood: seconds to the last answer", "s", {}, {}, {}, "", nullptr};
  Row sameP50{"round trip, same CPU: p50", "µs", {}, {}, {}, "ratio ≤ 1.6", ratioAtMost(1.6)};
  Row sameP99{"round trip, same CPU: p99", "µs", {}, {}, {}, "", nullptr};
  Row crossP50{"round trip, different CPUs: p50", "µs", {}, {}, {}, "ratio ≤ 0.5", ratioAtMost(0.5)};
  Row crossP99{"round trip, different CPUs: p99", "µs", {}, {}, {}, "", nullptr};
  Row start{"start-up to first answer (median of 50)", "ms", {}, {}, {}, "≤ 2.5 ms", atMost(2.5)};
  Row startRss{"peak RSS after start", "MiB", {}, {}, {}, "≤ 6 MiB", atMost(6)};
  Row floodRss{"peak RSS during the flood", "MiB", {}, {}, {}, "≤ 24 MiB", atMost(24)};
  Row playTime{
      "play of 1,000,000 ids: seconds to the answer", "s", {}, {}, {}, "≤ 0.4 s + 0.1 s catalog latency", atMost(0.5)};
  Row playRss{"peak RSS after the play of 1,000,000 ids", "MiB", {}, {}, {}, "≤ 120 MiB", atMost(120)};
  Row idleWake{"idle 10 s, nothing loaded: wake-ups", "", {}, {}, {}, "0", atMost(0)};
  Row idleCpu{"idle 10 s, nothing loaded: CPU time", "ms", {}, {}, {}, "", nullptr};
  Row playWake{"10 s while playing: wake-ups", "", {}, {}, {}, "≤ state lines written", nullptr};
  Row playLines{"10 s while playing: state lines written", "", {}, {}, {}, "", nullptr};
  Row playExtra{"10 s while playing: wake-ups beyond the state lines", "", {}, {}, {}, "≤ 0", atMost(0)};
  Row playCpu{"10 s while playing: CPU time", "ms", {}, {}, {}, "", nullptr};
  bool everyIdOnce = true;
  bool everyPlayAnswered = true;

  auto both = [](Row& row, double helper, double limit) {
    row.helper.add(helper);
    row.limit.add(limit);
    row.ratio.add(helper / limit);
  };
  constexpr double MiB = 1024.0;

  for (int run = 1; run <= options.runs; ++run) {
    std::cerr << "run " << run << " of " << options.runs << "\n";
    if (options.wants("flood")) {
      const Flood floodHelper = flood(options.helper, floodLines, true);
      const Flood floodLimit = flood(options.limit, floodLines, false);
      everyIdOnce = everyIdOnce && floodHelper.everyIdOnce;
      both(floodRate, floodHelper.answersPerSecond, floodLimit.answersPerSecond);
      both(floodTime, floodHelper.seconds, floodLimit.seconds);
      both(floodRss, static_cast<double>(floodHelper.peakRssKiB) / MiB,
           static_cast<double>(floodLimit.peakRssKiB) / MiB);
    }
    if (options.wants("roundtrip")) {
      const RoundTrip sameHelper = roundTrip(options.helper, roundTrips, 0, 0);
      const RoundTrip sameLimit = roundTrip(options.limit, roundTrips, 0, 0);
      const RoundTrip crossHelper = roundTrip(options.helper, roundTrips, 0, 1);
      const RoundTrip crossLimit = roundTrip(options.limit, roundTrips, 0, 1);
      both(sameP50, sameHelper.p50Microseconds, sameLimit.p50Microseconds);
      both(sameP99, sameHelper.p99Microseconds, sameLimit.p99Microseconds);
      both(crossP50, crossHelper.p50Microseconds, crossLimit.p50Microseconds);
      both(crossP99, crossHelper.p99Microseconds, crossLimit.p99Microseconds);
    }
    if (options.wants("startup")) {
      const StartUp startHelper = startUp(options.helper, starts);
      const StartUp startLimit = startUp(options.limit, starts);
      both(start, startHelper.medianMilliseconds, startLimit.medianMilliseconds);
      both(startRss, static_cast<double>(startHelper.rssKiB) / MiB, static_cast<double>(startLimit.rssKiB) / MiB);
    }
    if (options.wants("play")) {
      const BigPlay play = bigPlay(options.helper, playIds);
      everyPlayAnswered = everyPlayAnswered && play.answered;
      playTime.helper.add(play.answerSeconds);
      playRss.helper.add(static_cast<double>(play.peakRssKiB) / MiB);
    }
    if (options.wants("idle")) {
      const Idle quiet = idle(options.helper, idleSeconds, false);
      idleWake.helper.add(static_cast<double>(quiet.wakeUps));
      idleCpu.helper.add(quiet.cpuMilliseconds);
      const Idle busy = idle(options.helper, idleSeconds, true);
      playWake.helper.add(static_cast<double>(busy.wakeUps));
      playLines.helper.add(static_cast<double>(busy.stateLines));
      playExtra.helper.add(static_cast<double>(std::max<std::int64_t>(0, busy.wakeUps - busy.stateLines)));
      playCpu.helper.add(busy.cpuMilliseconds);
    }
  }

  std::ostringstream out;
  out << "# Benchmark results\n\n"
      << "Written by `make bench`; do not edit by hand (the notes at the end come from "
         "bench/NOTES.md).\n\n"
      << "## Machine\n\n"
      << machine() << "\n"
      << "## Commands\n\n"
      << "```\nmake bench\n# which runs, after a Release build in build-bench/:\n"
      << "build-bench/bench/tolvane_micro_bench --benchmark_repetitions=3 --benchmark_out=build-bench/micro.json "
         "--benchmark_out_format=json\n"
      << "build-bench/bench/tolvane_process_bench " << options.commandLine << "\n```\n\n"
      << "## Process level: the helper against the limit program\n\n"
      << "The limit program reads 64 KiB blocks and writes one fixed short line per input line with "
         "one write(2), no JSON. Both run alternately in the same run; each ratio is helper/limit "
         "within one run. Figures are min / median / max over "
      << options.runs << " runs; targets are judged on the median.\n\n"
      << "| figure | unit | helper | limit | ratio | target | met |\n|---|---|---|---|---|---|---|\n";
  for (const Row* row : {&floodRate, &floodTime, &sameP50, &sameP99, &crossP50, &crossP99, &start, &startRss, &floodRss,
                         &playTime, &playRss, &idleWake, &idleCpu, &playWake, &playLines, &playExtra, &playCpu}) {
    if (row->helper.values.empty()) continue;
    std::string met = "";
    if (row->met) {
      const double ratio = row->ratio.values.empty() ? 0 : row->ratio.median();
      met = row->met(row->helper.median(), ratio) ? "yes" : "**no**";
    }
    out << "| " << row->figure << " | " << row->unit << " | " << triple(row->helper) << " | " << triple(row->limit)
        << " | " << triple(row->ratio) << " | " << row->target << " | " << met << " |\n";
  }
  out << "\nFlood: every id answered exactly once in every run: " << (everyIdOnce ? "yes" : "**no**") << ".  \n"
      << "Play of 1,000,000 ids answered without an error in every run: " << (everyPlayAnswered ? "yes" : "**no**")
      << ".\n\n";
  if (!options.micro.empty()) {
    out << "## Micro-benchmarks (Google Benchmark, 3 repetitions)\n\n" << microSection(options.micro) << "\n";
  }
  if (!options.notes.empty()) {
    std::ifstream notes(options.notes);
    if (notes) out << notes.rdbuf();
  }
  if (options.out.empty()) {
    std::cout << out.str();
  } else {
    std::ofstream(options.out) << out.str();
    std::cerr << "wrote " << options.out << "\n";
  }
  return 0;
}
