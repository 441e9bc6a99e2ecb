#pragma once

#include <string_view>

#include "platform/json.h"

namespace tolvane {

// The only writer of output lines. Main thread only.
// Serialises `message` as one compact JSON object and writes it with one LF to standard output in a
// single request, continuing after a partial write or an interruption; the line is out of the
// process when write returns. A message that cannot be serialised is dropped without a trace.
// When standard output fails (the parent closed it), nobody is left to listen: the process ends at
// once with status 0.
void write(const Json& message);

// Any thread. True while a write() is waiting for a standard output that takes nothing more now:
// the main thread is held there until the parent reads.
bool outputBlocked();

// Writes all of `bytes` to `fd`, continuing after partial writes and interruptions and waiting while
// a non-blocking descriptor is full. False when the descriptor fails.
bool writeAll(int fd, std::string_view bytes);

}  // namespace tolvane
