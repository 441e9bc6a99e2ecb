#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "platform/run_loop.h"
#include "platform/task.h"

namespace tolvane {

// The one launch point for top-level tasks: one per command, notification or timer tick.
// It keeps each task alive until it finishes and releases it then. Destroying the launcher
// destroys the tasks that have not finished.
class TaskLauncher {
 public:
  explicit TaskLauncher(RunLoop& loop) : loop_(loop) {}
  TaskLauncher(const TaskLauncher&) = delete;
  TaskLauncher& operator=(const TaskLauncher&) = delete;
  ~TaskLauncher();

  // Thread-safe. Posts a job to the main loop that calls `body` there and keeps the task it returns.
  // The launcher must outlive the loop's running of that job.
  void launch(std::function<Task<>()> body);

  // Main loop only. Keeps a task that has already started until it finishes.
  void keep(Task<> task);

  // Main loop only. The number of tasks started and not yet finished.
  std::size_t running() const { return tasks_.size(); }

 private:
  RunLoop& loop_;
  std::map<std::uint64_t, Task<>> tasks_;
  std::uint64_t nextId_ = 0;
};

}  // namespace tolvane
