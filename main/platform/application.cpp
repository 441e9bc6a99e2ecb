#include "platform/application.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>

namespace tolvane {

namespace {

// What the signal handler reaches: the only globals of the program, since a handler can reach
// nothing else. The count is the truth; the byte only wakes the watcher thread.
int signalPipeWrite = -1;
std::atomic<unsigned long> requestsArrived{0};
static_assert(std::atomic<unsigned long>::is_always_lock_free, "used in a signal handler");

extern "C" void onTerminationSignal(int) {
  const int saved = errno;
  requestsArrived.fetch_add(1, std::memory_order_release);
  const char byte = 'T';
  // A full pipe loses the byte, never blocks the handler; the count keeps the request.
  [[maybe_unused]] ssize_t written = ::write(signalPipeWrite, &byte, 1);
  errno = saved;
}

void setTerminationSignalBlocked(bool blocked) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  ::pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

int millisecondsUntil(std::optional<TimePoint> deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - SteadyClock().now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<decltype(left)>(left, 60'000));
}

}  // namespace

Application::Application(RunLoop& mainLoop, ExitFunction exitProcess)
    : loop_(mainLoop), exitProcess_(std::move(exitProcess)) {}

void Application::immediateExit(int status) {
  // Output is never buffered inside the process, so there is nothing to flush; static destructors
  // must not run while the reader thread may still be working.
  std::_Exit(status);
}

void Application::installSignalHandling(std::optional<Duration> deadline) {
  ::signal(SIGPIPE, SIG_IGN);
  // Every thread started from here on inherits the unblocked mask.
  setTerminationSignalBlocked(false);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  signalPipeWrite = fds[1];

  // The watcher thread turns the bytes into jobs on the main loop and keeps the deadline. It takes
  // no signal itself: a request is then handled by a thread that is running or about to run, the
  // main thread or the reader, so it is counted before an end of input seen after it is acted on.
  std::thread([this, readEnd = fds[0], deadline] {
    setTerminationSignalBlocked(true);
    std::optional<TimePoint> exitAt;
    for (;;) {
      pollfd wait{readEnd, POLLIN, 0};
      const int ready = ::poll(&wait, 1, millisecondsUntil(exitAt));
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) {
        if (exitAt && SteadyClock().now() >= *exitAt) exitProcess_(0);
        continue;
      }
      char bytes[64];
      const ssize_t n = ::read(readEnd, bytes, sizeof bytes);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      if (deadline && !exitAt) exitAt = SteadyClock().now() + *deadline;
      loop_.post([this] { handleArrivedRequests(); });
    }
  }).detach();

  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
}

void Application::handleArrivedRequests() {
  const unsigned long arrived = requestsArrived.load(std::memory_order_acquire);
  while (handled_ < arrived) {
    ++handled_;
    terminate();
  }
}

void Application::terminate() {
  const TerminateReply reply = delegate_ ? delegate_->applicationShouldTerminate(*this) : TerminateReply::terminateNow;
  if (reply == TerminateReply::terminateNow) exitProcess_(0);
}

void Application::replyToApplicationShouldTerminate(bool shouldTerminate) {
  if (shouldTerminate) exitProcess_(0);
}

}  // namespace tolvane
