// The least a line-answering helper can do: read its input in 64 KiB blocks and write one fixed
// short line, with one write(2), for every line it reads. No parsing, no JSON, no threads. The
// process benchmark measures the helper against this program on the same machine, in the same run.

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr char answer[] = "{\"type\":\"answer\"}\n";

bool writeAnswer() {
  std::size_t done = 0;
  while (done < sizeof answer - 1) {
    const ssize_t n = ::write(STDOUT_FILENO, answer + done, sizeof answer - 1 - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main() {
  static char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    const char* at = buffer;
    const char* end = buffer + n;
    while (const void* newline = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
      if (!writeAnswer()) return 0;
      at = static_cast<const char*>(newline) + 1;
    }
  }
}
