#include "platform/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

namespace tolvane {

namespace {

bool isClosed(int fd) { return ::fcntl(fd, F_GETFD) < 0; }

// Opens /dev/null on `fd`, which is closed; open takes the lowest free descriptor, and every lower
// one is already filled.
void fillWithNull(int fd, int flags) {
  const int opened = ::open("/dev/null", flags);
  if (opened >= 0 && opened != fd) {
    ::dup2(opened, fd);
    ::close(opened);
  }
}

}  // namespace

ClosedStandardDescriptors occupyClosedStandardDescriptors() {
  ClosedStandardDescriptors closed{isClosed(0), isClosed(1), isClosed(2)};
  // In order, so that each open lands on the descriptor it fills.
  if (closed.input) fillWithNull(0, O_RDONLY);
  if (closed.output) fillWithNull(1, O_WRONLY);
  if (closed.error) fillWithNull(2, O_WRONLY);
  if (closed.output) {
    // The placeholder on 1 is replaced by a pipe nobody reads: writing to it fails with EPIPE.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == 0) {
      ::dup2(ends[1], 1);  // dup2 clears close-on-exec on the copy
      ::close(ends[1]);
      ::close(ends[0]);
    }
  }
  return closed;
}

}  // namespace tolvane
