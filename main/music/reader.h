#pragma once

// The input side of the message channel. readCommands runs on the reader thread, the only code of
// the program that runs off the main thread: it reads, splits, decodes and parses, and hands each
// command over; it never touches the Player.

#include <functional>
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
  std::string partial_;
};

// One input line as a command: decoded as UTF-8 (ill-formed sequences become U+FFFD) and parsed as
// one JSON object. Nullopt for a line to drop.
std::optional<Json> decodeCommand(std::string_view lineBytes);

using Commands = std::vector<Json>;

// Reads `fd` to its end (or to a read error), waiting while a non-blocking `fd` is empty, handing over every command in
// input order, in batches: the commands of each block read (at most 256 at a time), as soon as the block is parsed. A
// batch is never empty.
void readCommands(int fd, const std::function<void(Commands batch)>& handOver);

}  // namespace tolvane
