#pragma once

// A program started on two pipes, and what /proc tells about it.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::bench {

class Child {
 public:
  // Starts `path` with `arguments`, its standard input and output on pipes; standard error is
  // inherited. With `cpu`, the program and all its threads run on that CPU alone.
  static Child spawn(const std::string& path, std::optional<int> cpu = std::nullopt,
                     const std::vector<std::string>& arguments = {});

  Child(Child&& other) noexcept;
  Child& operator=(Child&&) = delete;
  Child(const Child&) = delete;
  ~Child();

  pid_t pid() const { return pid_; }
  // Writes all of `bytes` to the program's input; false when the program closed it.
  bool send(std::string_view bytes);
  // The next whole line of the program's output, without its LF; nullopt at its end.
  std::optional<std::string> readLine();
  // Reads whatever output is there (at most 64 KiB, waiting for some); empty at its end.
  std::string_view readSome();
  // Closes the program's input, waits for it to end and returns its exit status (-1 if killed).
  int finish();

 private:
  Child(pid_t pid, int input, int output) : pid_(pid), input_(input), output_(output) {}
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string pending_;
  char buffer_[64 * 1024];
};

// A field of /proc/<pid>/status in KiB ("VmHWM", "VmRSS"), 0 if absent.
std::int64_t statusKiB(pid_t pid, std::string_view field);

// Scheduling activity summed over every thread of a process.
struct Activity {
  std::int64_t voluntarySwitches = 0;
  std::int64_t involuntarySwitches = 0;
  std::int64_t runNanoseconds = 0;
  int threads = 0;
};
Activity activityOf(pid_t pid);

// Runs the calling thread on `cpu` alone, or on every CPU with nullopt.
void pinCallingThread(std::optional<int> cpu);

}  // namespace tolvane::bench
