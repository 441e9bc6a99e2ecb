#include "music/reader.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/utf8.h"

namespace tolvane {

namespace {
constexpr std::size_t readSize = 64 * 1024;
// A buffer grown by a long line is given back once the line is done.
constexpr std::size_t keptCapacity = 1024 * 1024;
}  // namespace

void LineSplitter::deliver(std::string_view line, const LineHandler& onLine) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  onLine(line);
}

void LineSplitter::release() {
  if (partial_.capacity() > keptCapacity) {
    std::string().swap(partial_);
  } else {
    partial_.clear();
  }
}

void LineSplitter::feed(std::string_view bytes, const LineHandler& onLine) {
  for (auto end = bytes.find('\n'); end != std::string_view::npos; end = bytes.find('\n')) {
    if (partial_.empty()) {
      deliver(bytes.substr(0, end), onLine);
    } else {
      partial_.append(bytes.substr(0, end));
      deliver(partial_, onLine);
      release();
    }
    bytes.remove_prefix(end + 1);
  }
  partial_.append(bytes);
}

void LineSplitter::finish(const LineHandler& onLine) {
  if (partial_.empty()) return;
  // An unterminated last line: only a full CR LF is a terminator, but a lone CR is whitespace to
  // the parser anyway.
  onLine(partial_);
  release();
}

std::optional<Json> decodeCommand(std::string_view lineBytes) { return parseObjectLine(decodeUtf8Lossy(lineBytes)); }

void readCommands(int fd, const std::function<void(Json command)>& handOver) {
  LineSplitter splitter;
  const LineSplitter::LineHandler onLine = [&handOver](std::string_view line) {
    if (auto command = decodeCommand(line)) handOver(std::move(*command));
  };
  std::vector<char> buffer(readSize);
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input, or a read error, which counts as the same
    splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), onLine);
  }
  splitter.finish(onLine);
}

}  // namespace tolvane
