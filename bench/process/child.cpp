#include "child.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace tolvane::bench {

void pinCallingThread(std::optional<int> cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (cpu) {
    CPU_SET(*cpu, &set);
  } else {
    for (unsigned i = 0; i < std::thread::hardware_concurrency(); ++i) CPU_SET(i, &set);
  }
  if (sched_setaffinity(0, sizeof set, &set) != 0) throw std::runtime_error("sched_setaffinity failed");
}

Child Child::spawn(const std::string& path, std::optional<int> cpu, const std::vector<std::string>& arguments) {
  int toChild[2];
  int fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  // A new process takes the CPU affinity of the thread that starts it.
  if (cpu) pinCallingThread(cpu);
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  if (cpu) pinCallingThread(std::nullopt);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (error != 0) throw std::runtime_error("cannot start " + path + ": " + std::strerror(error));
  return Child(pid, toChild[1], fromChild[0]);
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::exchange(other.input_, -1)),
      output_(std::exchange(other.output_, -1)),
      pending_(std::move(other.pending_)) {}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    finish();
  }
  if (output_ >= 0) ::close(output_);
}

bool Child::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(input_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string_view Child::readSome() {
  for (;;) {
    const ssize_t n = ::read(output_, buffer_, sizeof buffer_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {};
    return std::string_view(buffer_, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> Child::readLine() {
  for (;;) {
    if (const auto end = pending_.find('\n'); end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    const std::string_view more = readSome();
    if (more.empty()) return std::nullopt;
    pending_.append(more);
  }
}

int Child::finish() {
  if (input_ >= 0) {
    ::close(input_);
    input_ = -1;
  }
  if (pid_ <= 0) return -1;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::int64_t statusKiB(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
      return std::stoll(line.substr(field.size() + 1));
    }
  }
  return 0;
}

Activity activityOf(pid_t pid) {
  Activity activity;
  const std::string base = "/proc/" + std::to_string(pid) + "/task";
  DIR* tasks = ::opendir(base.c_str());
  if (tasks == nullptr) return activity;
  while (const dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string dir = base + "/" + entry->d_name;
    std::ifstream status(dir + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.starts_with("voluntary_ctxt_switches:")) activity.voluntarySwitches += std::stoll(line.substr(24));
      if (line.starts_with("nonvoluntary_ctxt_switches:")) activity.involuntarySwitches += std::stoll(line.substr(27));
    }
    std::ifstream schedstat(dir + "/schedstat");
    std::int64_t runNs = 0;
    if (schedstat >> runNs) activity.runNanoseconds += runNs;
    ++activity.threads;
  }
  ::closedir(tasks);
  return activity;
}

}  // namespace tolvane::bench
