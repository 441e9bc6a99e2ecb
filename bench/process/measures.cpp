#include "measures.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "child.h"

namespace tolvane::bench {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string command(std::int64_t id) { return R"({"type":"x","id":)" + std::to_string(id) + "}\n"; }

// The id of an answer line, -1 if it has none.
std::int64_t idOf(std::string_view line) {
  const auto at = line.find("\"id\":");
  if (at == std::string_view::npos) return -1;
  std::int64_t id = 0;
  for (std::size_t i = at + 5; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) id = id * 10 + (line[i] - '0');
  return id;
}

// A play line of `ids` ids, cycling through the first `distinct` catalog songs.
std::string playLine(std::int64_t ids, int distinct, std::int64_t id) {
  std::string line = R"({"type":"play","id":)" + std::to_string(id) + R"(,"ids":[)";
  line.reserve(static_cast<std::size_t>(ids) * 13 + 64);
  for (std::int64_t i = 0; i < ids; ++i) {
    if (i > 0) line += ',';
    line += "\"10000000";
    const int song = static_cast<int>(i % distinct) + 1;
    line += static_cast<char>('0' + song / 10);
    line += static_cast<char>('0' + song % 10);
    line += '"';
  }
  line += "]}\n";
  return line;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace

Flood flood(const std::string& program, std::int64_t lines, bool checkIds) {
  std::string input;
  input.reserve(static_cast<std::size_t>(lines) * 24);
  for (std::int64_t i = 0; i < lines; ++i) input += command(i);

  Child child = Child::spawn(program);
  std::vector<std::uint8_t> seen(checkIds ? static_cast<std::size_t>(lines) : 0, 0);
  Flood result;
  const auto start = Clock::now();
  std::thread writer([&] { child.send(input); });
  std::int64_t answers = 0;
  std::string partial;
  while (answers < lines) {
    const std::string_view chunk = child.readSome();
    if (chunk.empty()) break;
    std::size_t from = 0;
    for (auto end = chunk.find('\n'); end != std::string_view::npos; end = chunk.find('\n', from)) {
      ++answers;
      if (checkIds) {
        std::string_view line = chunk.substr(from, end - from);
        if (!partial.empty()) {
          partial.append(line);
          line = partial;
        }
        const std::int64_t id = idOf(line);
        if (id < 0 || id >= lines || seen[static_cast<std::size_t>(id)]++ != 0) result.everyIdOnce = false;
        partial.clear();
      }
      from = end + 1;
    }
    if (checkIds) partial.append(chunk.substr(from));
  }
  result.seconds = secondsSince(start);
  result.answersPerSecond = static_cast<double>(answers) / result.seconds;
  if (answers != lines) result.everyIdOnce = false;
  result.peakRssKiB = statusKiB(child.pid(), "VmHWM");
  writer.join();
  child.finish();
  return result;
}

RoundTrip roundTrip(const std::string& program, int count, int driverCpu, int programCpu) {
  Child child = Child::spawn(program, programCpu);
  pinCallingThread(driverCpu);
  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(count));
  const int warmUp = 1000;
  for (int i = 0; i < warmUp + count; ++i) {
    const std::string line = command(i);
    const auto start = Clock::now();
    child.send(line);
    if (!child.readLine()) break;
    if (i >= warmUp) samples.push_back(secondsSince(start) * 1e6);
  }
  pinCallingThread(std::nullopt);
  child.finish();
  if (samples.empty()) return {};
  return RoundTrip{percentile(samples, 0.5), percentile(samples, 0.99)};
}

StartUp startUp(const std::string& program, int starts) {
  std::vector<double> times;
  std::vector<double> rss;
  const std::string line = command(1);
  for (int i = 0; i < starts; ++i) {
    const auto start = Clock::now();
    Child child = Child::spawn(program);
    child.send(line);
    if (!child.readLine()) continue;
    times.push_back(secondsSince(start) * 1e3);
    rss.push_back(static_cast<double>(statusKiB(child.pid(), "VmHWM")));
    child.finish();
  }
  if (times.empty()) return {};
  return StartUp{percentile(times, 0.5), static_cast<std::int64_t>(percentile(rss, 0.5))};
}

BigPlay bigPlay(const std::string& program, std::int64_t ids) {
  const std::string line = playLine(ids, 16, 1);
  Child child = Child::spawn(program);
  BigPlay result;
  const auto start = Clock::now();
  std::thread writer([&] { child.send(line); });
  while (auto answer = child.readLine()) {
    if (answer->find("\"type\":\"answer\"") != std::string::npos) {
      result.answerSeconds = secondsSince(start);
      result.answered = answer->find("\"error\"") == std::string::npos;
      break;
    }
  }
  result.peakRssKiB = statusKiB(child.pid(), "VmHWM");
  writer.join();
  child.finish();
  return result;
}

Idle idle(const std::string& program, double seconds, bool playing) {
  Child child = Child::spawn(program);
  // Short Bell (4 s) three times, then a long song: the queue moves on during the window.
  child.send(playing ? R"({"type":"play","id":1,"ids":["1000000012","1000000012","1000000012","1000000001"]})"
                       "\n"
                     : command(1));
  child.readLine();  // the answer; the helper has started and the queue (if any) is loading
  std::atomic<std::int64_t> stateLines{0};
  std::atomic<bool> counting{false};
  std::thread reader([&] {
    while (auto line = child.readLine()) {
      if (counting && line->find("\"type\":\"state\"") != std::string::npos) ++stateLines;
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));  // playback starts, the first lines are out
  const Activity before = activityOf(child.pid());
  counting = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  counting = false;
  const Activity after = activityOf(child.pid());
  child.finish();
  reader.join();
  Idle result;
  result.wakeUps =
      (after.voluntarySwitches + after.involuntarySwitches) - (before.voluntarySwitches + before.involuntarySwitches);
  result.cpuMilliseconds = static_cast<double>(after.runNanoseconds - before.runNanoseconds) / 1e6;
  result.stateLines = stateLines;
  result.threads = after.threads;
  return result;
}

}  // namespace tolvane::bench
