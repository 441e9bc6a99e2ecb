#pragma once

namespace tolvane::testing {

// Counts live copies of itself in `live`: constructions minus destructions. Captured by a callback
// or passed by value into a coroutine, it shows whether that callback or frame has been released.
class Counted {
 public:
  explicit Counted(int& live) : live_(&live) { ++*live_; }
  Counted(const Counted& other) : live_(other.live_) { ++*live_; }
  Counted& operator=(const Counted&) = delete;
  ~Counted() { --*live_; }

 private:
  int* live_;
};

}  // namespace tolvane::testing
