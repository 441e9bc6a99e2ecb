#include "music/write.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/application.h"

namespace tolvane {

namespace {
std::atomic<bool> writing{false};
}  // namespace

bool outputBlocked() {
  if (!writing.load(std::memory_order_acquire)) return false;
  pollfd room{STDOUT_FILENO, POLLOUT, 0};
  return ::poll(&room, 1, 0) == 0;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd wait{fd, POLLOUT, 0};
      if (::poll(&wait, 1, -1) < 0 && errno != EINTR) return false;
      continue;
    }
    return false;
  }
  return true;
}

void write(const Json& message) {
  // Reused from message to message (write runs on the main loop only); a buffer grown by a very
  // long message is given back afterwards.
  static std::string line;
  constexpr std::size_t keptCapacity = 1024 * 1024;
  line.clear();
  if (!appendMessage(line, message)) return;
  line += '\n';
  writing.store(true, std::memory_order_release);
  const bool written = writeAll(STDOUT_FILENO, line);
  writing.store(false, std::memory_order_release);
  if (line.capacity() > keptCapacity) std::string().swap(line);
  if (!written) Application::immediateExit(0);
}

}  // namespace tolvane
