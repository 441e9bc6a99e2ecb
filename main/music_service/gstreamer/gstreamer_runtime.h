#pragma once

// GStreamer for the process: initialised once, on a worker thread, so that the main loop answers
// commands while GStreamer reads its plugin registry (which takes a while the first time on a
// machine). Everything that needs GStreamer waits for ready() first.

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/error.h"
#include "platform/run_loop.h"
#include "platform/worker.h"

namespace tolvane {

class GStreamerRuntime {
 public:
  // Starts initialising at once. GStreamer's and GLib's own messages (debug log, warnings) are
  // silenced: a running helper writes nothing to standard error.
  explicit GStreamerRuntime(RunLoop& loop);
  // Waits for a job in progress on the worker; drops the others.
  ~GStreamerRuntime();
  GStreamerRuntime(const GStreamerRuntime&) = delete;
  GStreamerRuntime& operator=(const GStreamerRuntime&) = delete;

  using ReadyHandler = std::function<void(const Result<void>& initialised)>;
  // Main loop. Calls `handler` on the main loop once GStreamer is initialised, or with the reason it
  // cannot be; within this call when that is known already.
  void whenReady(ReadyHandler handler);
  // Main loop. True once initialisation has succeeded.
  bool isReady() const { return outcome_ && outcome_->ok(); }

  // For blocking GStreamer calls that must not hold up the main loop (opening an audio device):
  // jobs run one at a time, after initialisation, and post what they learn to the main loop.
  Worker& worker() { return worker_; }

 private:
  RunLoop& loop_;
  std::optional<Result<void>> outcome_;  // main loop
  std::vector<ReadyHandler> waiting_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  WorkerThread worker_;  // last: its jobs may post to the loop until it has stopped
};

}  // namespace tolvane
