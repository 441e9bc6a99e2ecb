#pragma once

#include <functional>
#include <optional>

#include "platform/clock.h"
#include "platform/run_loop.h"

namespace tolvane {

class Application;

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

enum class TerminateReply { terminateCancel = 0, terminateNow = 1, terminateLater = 2 };

// Receives the application's termination requests, on the main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual TerminateReply applicationShouldTerminate(Application& sender) = 0;
};

// The application object: the main loop, the termination flow and the way the process ends.
//
// A termination request (SIGTERM) reaches the delegate's applicationShouldTerminate on the main
// thread. "Now" ends the process at once; "later" waits for replyToApplicationShouldTerminate.
// The process always ends with status 0, through the exit function given at construction, which
// does not run static destructors under the feet of other threads.
class Application {
 public:
  using ExitFunction = std::function<void(int status)>;

  // `exitProcess` ends the process; tests give one that records the call instead.
  explicit Application(RunLoop& mainLoop, ExitFunction exitProcess = immediateExit);
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  RunLoop& mainLoop() const { return loop_; }

  // Kept for the platform's sake: a Linux process has no windows, menu bar or Dock icon to hide.
  void setActivationPolicy(ActivationPolicy) {}

  // The delegate is not owned and must outlive the application's event loop.
  void setDelegate(ApplicationDelegate* delegate) { delegate_ = delegate; }

  // Process-wide, once, before any other thread starts: SIGTERM is unblocked (a parent may have
  // blocked it in the mask we inherit) and each one becomes terminate() on the main loop; SIGPIPE
  // is ignored so that a closed output fails the write instead of killing us. When `deadline` is
  // given, the process ends that long after the first request arrived even if the main loop cannot
  // give the reply in time (blocked writing to a parent that stopped reading, say).
  void installSignalHandling(std::optional<Duration> deadline = std::nullopt);

  // Runs the main loop. Returns only if the loop is told to quit.
  void run() { loop_.run(); }

  // Main thread. The termination request: asks the delegate and acts on its reply.
  void terminate();

  // Main thread. The delegate's late reply: true ends the process with status 0.
  void replyToApplicationShouldTerminate(bool shouldTerminate);

  // Main thread. Every termination request that has arrived but not yet reached terminate() does
  // so now. Idempotent: each request is handled once, whichever call gets to it first.
  void handleArrivedRequests();

  // Main thread. End of input: the requests that arrived before it are handled (their "quit" is
  // written), then the process ends at once with status 0.
  void endOfInput() {
    handleArrivedRequests();
    exitNow();
  }

  // Ends the process at once with status 0.
  void exitNow() { exitProcess_(0); }

  static void immediateExit(int status);

 private:
  RunLoop& loop_;
  ExitFunction exitProcess_;
  ApplicationDelegate* delegate_ = nullptr;
  unsigned long handled_ = 0;  // termination requests that reached terminate()
};

}  // namespace tolvane
