#pragma once

#include <cstddef>

namespace tolvane {

// Memory for coroutine frames, kept for reuse once a frame is freed: a command's tasks start and
// finish by the hundred thousand a second, and each would otherwise cost an allocation and a free
// per frame. Per thread, in size classes of 64 bytes up to 1 KiB, at most 64 frames kept per class;
// larger frames come from the heap. In a build under AddressSanitizer every frame comes from the
// heap, so that a frame used after it is freed is still caught.
class FramePool {
 public:
  static void* allocate(std::size_t size);
  static void release(void* frame, std::size_t size) noexcept;
};

}  // namespace tolvane
