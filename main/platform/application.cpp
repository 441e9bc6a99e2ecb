#include "platform/application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace tolvane {

namespace {

// The write end of the pipe through which the signal handler wakes the watcher thread. The one
// global of the program: a signal handler can reach nothing else.
int signalPipeWrite = -1;

extern "C" void onTerminationSignal(int) {
  const int saved = errno;
  const char byte = 'T';
  // One byte per delivered signal; a full pipe loses the byte, never blocks the handler.
  [[maybe_unused]] ssize_t written = ::write(signalPipeWrite, &byte, 1);
  errno = saved;
}

}  // namespace

Application::Application(RunLoop& mainLoop, ExitFunction exitProcess)
    : loop_(mainLoop), exitProcess_(std::move(exitProcess)) {}

void Application::immediateExit(int status) {
  // Output is never buffered inside the process, so there is nothing to flush; static destructors
  // must not run while the reader thread may still be working.
  std::_Exit(status);
}

void Application::installSignalHandling() {
  ::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  signalPipeWrite = fds[1];

  // The watcher thread only turns each byte into a termination request posted to the main loop.
  std::thread([this, readEnd = fds[0]] {
    char bytes[64];
    for (;;) {
      const ssize_t n = ::read(readEnd, bytes, sizeof bytes);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      for (ssize_t i = 0; i < n; ++i) loop_.post([this] { terminate(); });
    }
  }).detach();

  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
}

void Application::terminate() {
  const TerminateReply reply = delegate_ ? delegate_->applicationShouldTerminate(*this) : TerminateReply::terminateNow;
  if (reply == TerminateReply::terminateNow) exitProcess_(0);
}

void Application::replyToApplicationShouldTerminate(bool shouldTerminate) {
  if (shouldTerminate) exitProcess_(0);
}

}  // namespace tolvane
