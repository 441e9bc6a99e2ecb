#pragma once

// The input side of the message channel. readCommands runs on the reader thread, the only code of
// the program that runs off the main thread: it reads, splits, decodes and parses, and hands each
// command over; it never touches the Player.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/json.h"

namespace tolvane {

// Splits a byte stream into lines. A line ends at LF; the LF, or CR LF, is removed. What is left
// when the stream ends is the last line, terminator or not.
class LineSplitter {
 public:
  using LineHandler = std::function<void(std::string_view line)>;

  void feed(std::string_view bytes, const LineHandler& onLine);
  void finish(const LineHandler& onLine);

 private:
  static void deliver(std::string_view line, const LineHandler& onLine);
  void release();
  void append(std::string_view bytes);
  std::string partial_;
};

// One input line as a command: decoded as UTF-8 (ill-formed sequences become U+FFFD) and parsed as
// one JSON object, made in `storage`. Nullopt for a line to drop.
std::optional<Json> decodeCommand(std::string_view lineBytes, const JsonStorage& storage = {});

// A batch of commands and the one arena their values are made in, released at once when the last
// copy of the batch goes. Copies share the batch.
class Commands {
 public:
  Commands();

  // Parses `lineBytes` as decodeCommand does into the batch's arena; false for a line to drop.
  bool add(std::string_view lineBytes);

  std::size_t size() const { return batch_->commands.size(); }
  bool empty() const { return batch_->commands.empty(); }
  Json* begin() { return batch_->commands.data(); }
  Json* end() { return begin() + size(); }
  const Json* begin() const { return batch_->commands.data(); }
  const Json* end() const { return begin() + size(); }

  // What keeps the batch's storage alive, for a command that runs on after the batch is done with.
  std::shared_ptr<const void> keeper() const { return batch_; }

 private:
  struct Batch {
    JsonArena arena{1024, largeBlockStorage()};
    std::vector<Json> commands;  // after the arena: destroyed before it
  };
  std::shared_ptr<Batch> batch_;
};

// Reads `fd` to its end (or to a read error), waiting while a non-blocking `fd` is empty, handing over every command in
// input order, in batches: the commands of each block read (at most 256 at a time), as soon as the block is parsed. A
// batch is never empty.
void readCommands(int fd, const std::function<void(Commands batch)>& handOver);

}  // namespace tolvane
