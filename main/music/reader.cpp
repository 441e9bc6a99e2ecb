#include "music/reader.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "platform/memory.h"
#include "platform/utf8.h"

namespace tolvane {

namespace {
constexpr std::size_t readSize = 64 * 1024;
// A buffer grown by a long line is given back once the line is done.
constexpr std::size_t keptCapacity = 1024 * 1024;
constexpr std::size_t batchSize = 256;
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

void LineSplitter::append(std::string_view bytes) {
  const std::size_t needed = partial_.size() + bytes.size();
  if (needed > partial_.capacity()) {
    // A long line grows by doubling, each time into a fresh block, advised before it is filled.
    std::string grown;
    grown.reserve(std::max(needed, 2 * partial_.capacity()));
    adviseHugePages(grown.data(), grown.capacity());
    grown.append(partial_);
    partial_.swap(grown);
  }
  partial_.append(bytes);
}

void LineSplitter::feed(std::string_view bytes, const LineHandler& onLine) {
  for (auto end = bytes.find('\n'); end != std::string_view::npos; end = bytes.find('\n')) {
    if (partial_.empty()) {
      deliver(bytes.substr(0, end), onLine);
    } else {
      append(bytes.substr(0, end));
      deliver(partial_, onLine);
      release();
    }
    bytes.remove_prefix(end + 1);
  }
  append(bytes);
}

void LineSplitter::finish(const LineHandler& onLine) {
  if (partial_.empty()) return;
  // An unterminated last line: only a full CR LF is a terminator, but a lone CR is whitespace to
  // the parser anyway.
  onLine(partial_);
  release();
}

std::optional<Json> decodeCommand(std::string_view lineBytes, const JsonStorage& storage) {
  // Almost every line is well-formed already; only the others are copied to be repaired.
  if (isWellFormedUtf8(lineBytes)) return parseObjectLine(lineBytes, storage);
  return parseObjectLine(decodeUtf8Lossy(lineBytes), storage);
}

Commands::Commands() : batch_(std::make_shared<Batch>()) { batch_->commands.reserve(batchSize); }

bool Commands::add(std::string_view lineBytes) {
  std::optional<Json> command = decodeCommand(lineBytes, JsonStorage(&batch_->arena));
  if (!command) return false;
  batch_->commands.push_back(std::move(*command));
  return true;
}

void readCommands(int fd, const std::function<void(Commands batch)>& handOver) {
  LineSplitter splitter;
  Commands batch;
  // One hand-over per block read, or per batchSize commands, instead of one per line: a burst of
  // short commands costs the main loop one wake-up per batch, and a batch stays small.
  const auto handOverBatch = [&] {
    if (batch.empty()) return;
    handOver(std::exchange(batch, Commands()));
  };
  const LineSplitter::LineHandler onLine = [&](std::string_view line) {
    if (batch.add(line) && batch.size() == batchSize) handOverBatch();
  };
  // Left uninitialised: only the pages a read fills are ever touched.
  const auto buffer = std::make_unique_for_overwrite<char[]>(readSize);
  for (;;) {
    const ssize_t n = ::read(fd, buffer.get(), readSize);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A parent may hand us a non-blocking pipe: nothing to read yet is not the end of input.
      pollfd wait{fd, POLLIN, 0};
      if (::poll(&wait, 1, -1) < 0 && errno != EINTR) break;
      continue;
    }
    if (n <= 0) break;  // end of input, or a read error, which counts as the same
    splitter.feed(std::string_view(buffer.get(), static_cast<std::size_t>(n)), onLine);
    handOverBatch();
  }
  splitter.finish(onLine);
  handOverBatch();
}

}  // namespace tolvane
