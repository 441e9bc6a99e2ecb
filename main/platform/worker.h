#pragma once

// Work off the main loop: blocking calls (the disk, a database) run on a worker, one job at a time
// in the order posted, and post what they learn back to the main loop.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tolvane {

class Worker {
 public:
  using Job = std::function<void()>;
  virtual ~Worker() = default;
  // Any thread.
  virtual void post(Job job) = 0;
};

// A worker with a thread of its own. Destruction lets the job in progress finish and drops the
// others.
class WorkerThread final : public Worker {
 public:
  WorkerThread();
  ~WorkerThread() override;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void post(Job job) override;

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace tolvane
