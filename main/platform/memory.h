#pragma once

#include <cstddef>
#include <vector>

namespace tolvane {

// Asks the system to back the whole 2 MiB pages of a large block with huge pages, where
// transparent huge pages are enabled on request. A block filled right after it is allocated (a
// very long line, the ids of a very large play) then costs one page fault per 2 MiB instead of one
// per 4 KiB, which is most of the cost of filling it. Blocks under 2 MiB are left alone.
void adviseHugePages(const void* data, std::size_t bytes);

// `list.reserve(count)`, with the block advised as above.
template <typename T>
void reserveLarge(std::vector<T>& list, std::size_t count) {
  list.reserve(count);
  adviseHugePages(list.data(), list.capacity() * sizeof(T));
}

// Gives the memory that the heap holds free back to the system. Costly with a large heap: for
// after a large structure was released, not for every command.
void returnFreeMemory();

}  // namespace tolvane
