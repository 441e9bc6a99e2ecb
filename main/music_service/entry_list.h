#pragma once

// The entries of a queue, kept compact: each distinct entry once, and the queue as 32-bit positions
// into them. A queue that repeats a few songs a million times costs four bytes an entry. Immutable
// once made, so any thread may read it.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "music_service/music_service.h"

namespace tolvane {

class EntryList {
 public:
  EntryList() = default;
  // One entry per distinct song (the same Song object), titled and subtitled as a catalog song.
  static std::shared_ptr<const EntryList> ofSongs(const std::vector<std::shared_ptr<const Song>>& songs);
  // These entries, in this order; the same entry object given twice is kept once.
  static std::shared_ptr<const EntryList> ofEntries(std::vector<std::shared_ptr<const QueueEntry>> entries);

  std::size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }
  // Entry `index` (< size()).
  const QueueEntry& at(std::size_t index) const { return *distinct_[order_[index]]; }

 private:
  std::vector<std::shared_ptr<const QueueEntry>> distinct_;
  std::vector<std::uint32_t> order_;  // an index into distinct_ per entry
};

// A player's queue object over a list of entries: which entry is current, and the publisher that
// announces its changes. Main loop only; the player that owns it makes the changes.
class EntryQueue final : public MusicQueue {
 public:
  explicit EntryQueue(std::shared_ptr<const EntryList> list) : entries(std::move(list)) {
    if (!entries->empty()) current = 0;
  }
  std::optional<QueueEntry> currentEntry() const override {
    if (current && *current < entries->size()) return entries->at(*current);
    return std::nullopt;
  }
  Publisher& objectWillChange() override { return willChange; }

  const std::shared_ptr<const EntryList> entries;
  std::optional<std::size_t> current;  // none when empty, or when moved off the entries
  Publisher willChange;
};

}  // namespace tolvane
