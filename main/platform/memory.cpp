#include "platform/memory.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>

namespace tolvane {

void adviseHugePages(const void* data, std::size_t bytes) {
  constexpr std::uintptr_t hugePage = 2 * 1024 * 1024;
  if (bytes < hugePage) return;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + hugePage - 1) & ~(hugePage - 1);
  const std::uintptr_t end = (start + bytes) & ~(hugePage - 1);
  // Only a hint: where the system declines, the pages are ordinary ones.
  if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

void returnFreeMemory() { ::malloc_trim(0); }

}  // namespace tolvane
