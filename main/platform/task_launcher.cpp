#include "platform/task_launcher.h"

namespace tolvane {

TaskLauncher::~TaskLauncher() {
  // Destroy one at a time: destroying a frame may release things that reach back here.
  while (!tasks_.empty()) {
    auto node = tasks_.extract(tasks_.begin());
  }
}

void TaskLauncher::launch(std::function<Task<>()> body) {
  loop_.post([this, body = std::move(body)] { keep(body()); });
}

void TaskLauncher::keep(Task<> task) {
  if (task.done()) return;
  const std::uint64_t id = nextId_++;
  task.onFinished([this, id] { tasks_.erase(id); });
  tasks_.emplace(id, std::move(task));
}

}  // namespace tolvane
