#include "platform/frame_pool.h"

#include <array>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define TOLVANE_POOL_FRAMES 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOLVANE_POOL_FRAMES 0
#endif
#endif
#ifndef TOLVANE_POOL_FRAMES
#define TOLVANE_POOL_FRAMES 1
#endif

namespace tolvane {

namespace {

constexpr std::size_t granule = 64;
constexpr std::size_t classes = 16;  // frames up to classes × granule bytes are kept
constexpr std::size_t keptPerClass = 64;

// A free frame holds the link to the next one.
struct FreeFrame {
  FreeFrame* next;
};

// Set once this thread's lists are gone (at its exit): frames freed later go to the heap.
thread_local bool listsGone = false;

class Lists {
 public:
  Lists() = default;
  Lists(const Lists&) = delete;
  Lists& operator=(const Lists&) = delete;
  ~Lists() {
    listsGone = true;
    for (std::size_t c = 0; c < classes; ++c) {
      while (FreeFrame* frame = heads_[c]) {
        heads_[c] = frame->next;
        ::operator delete(frame);
      }
    }
  }

  void* take(std::size_t c) {
    FreeFrame* frame = heads_[c];
    if (!frame) return nullptr;
    heads_[c] = frame->next;
    --counts_[c];
    return frame;
  }

  bool give(std::size_t c, void* memory) {
    if (counts_[c] == keptPerClass) return false;
    heads_[c] = new (memory) FreeFrame{heads_[c]};
    ++counts_[c];
    return true;
  }

 private:
  std::array<FreeFrame*, classes> heads_{};
  std::array<std::size_t, classes> counts_{};
};

// The class of a frame of `size` bytes, or `classes` when it is not kept.
std::size_t classOf(std::size_t size) { return size == 0 ? 0 : (size - 1) / granule; }

thread_local Lists lists;

}  // namespace

void* FramePool::allocate(std::size_t size) {
  const std::size_t c = classOf(size);
  if (!TOLVANE_POOL_FRAMES || c >= classes || listsGone) return ::operator new(size);
  if (void* frame = lists.take(c)) return frame;
  return ::operator new((c + 1) * granule);
}

void FramePool::release(void* frame, std::size_t size) noexcept {
  const std::size_t c = classOf(size);
  if (TOLVANE_POOL_FRAMES && c < classes && !listsGone && lists.give(c, frame)) return;
  ::operator delete(frame);
}

}  // namespace tolvane
