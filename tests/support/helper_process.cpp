#include "support/helper_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace tolvane::testing {

namespace {
void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}
}  // namespace

HelperProcess::HelperProcess(const SpawnOptions& options) {
  // A helper that dies must not kill the test with SIGPIPE when we write to it.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (options.errorOnTerminal) {
    // The terminal's far end is read like the pipe's; no line discipline translations on output.
    if (::openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    termios raw{};
    ::tcgetattr(err[1], &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(err[1], TCSANOW, &raw);
    ::fcntl(err[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(err[1], F_SETFD, FD_CLOEXEC);
  } else if (::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> words{options.binary};
  words.insert(words.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    if (options.nonBlockingInput) ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    if (options.closeInput) ::close(STDIN_FILENO);
    if (options.closeOutput) ::close(STDOUT_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    for (const auto& [name, value] : options.environment) ::setenv(name.c_str(), value.c_str(), 1);
    sigset_t mask;
    sigemptyset(&mask);
    if (options.blockTermination) sigaddset(&mask, SIGTERM);
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    ::execv(options.binary.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  ::fcntl(err_, F_SETFL, O_NONBLOCK);
}

HelperProcess::~HelperProcess() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  closeFd(in_);
  closeFd(out_);
  closeFd(err_);
}

void HelperProcess::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      ADD_FAILURE() << "writing to the helper failed: errno " << errno;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void HelperProcess::sendLine(const Json& command) { send(command.dump() + "\n"); }

void HelperProcess::closeInput() { closeFd(in_); }

void HelperProcess::closeOutput() { closeFd(out_); }

bool HelperProcess::fill(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now()).count();
    if (left < 0 || out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // the helper closed its output
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
}

std::optional<std::string> HelperProcess::readLine(Millis timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto end = buffer_.find('\n'); end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    if (!fill(deadline)) return std::nullopt;
  }
}

Json HelperProcess::readMessage(Millis timeout) {
  auto line = readLine(timeout);
  if (!line) {
    ADD_FAILURE() << "no output line within " << timeout.count() << " ms";
    return Json();
  }
  Json message = Json::parse(*line, nullptr, false);
  if (message.is_discarded()) ADD_FAILURE() << "output line is not JSON: " << *line;
  return message;
}

std::vector<std::string> HelperProcess::readLinesFor(Millis period) {
  std::vector<std::string> lines;
  const auto deadline = std::chrono::steady_clock::now() + period;
  for (;;) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    auto line = readLine(left);
    if (!line) break;
    lines.push_back(std::move(*line));
  }
  return lines;
}

std::vector<Json> HelperProcess::readMessagesFor(Millis period) {
  std::vector<Json> messages;
  for (const std::string& line : readLinesFor(period)) messages.push_back(Json::parse(line, nullptr, false));
  return messages;
}

std::optional<int> HelperProcess::waitExit(Millis timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    // Polling the child's status is the one wait that has no descriptor to block on.
    std::this_thread::sleep_for(Millis(5));
  }
}

void HelperProcess::signal(int signal) { ::kill(pid_, signal); }

long HelperProcess::residentKiB(const char* field) const {
  // The resident set as the page tables have it. The kernel's running count (VmRSS in status) is
  // kept per CPU and was seen lagging by 16 MiB on a busy machine after memory went back.
  const bool resident = std::string_view(field) == "VmRSS:";
  std::ifstream file("/proc/" + std::to_string(pid_) + (resident ? "/smaps_rollup" : "/status"));
  std::string word;
  while (file >> word) {
    if (word == (resident ? "Rss:" : field)) {
      long kib = 0;
      file >> kib;
      return kib;
    }
  }
  return 0;
}

std::string HelperProcess::stderrText() {
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(err_, chunk, sizeof chunk);
    if (n <= 0) break;
    errText_.append(chunk, static_cast<std::size_t>(n));
  }
  return errText_;
}

}  // namespace tolvane::testing
