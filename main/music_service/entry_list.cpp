#include "music_service/entry_list.h"

#include <unordered_map>

#include "platform/memory.h"

namespace tolvane {

std::shared_ptr<const EntryList> EntryList::ofSongs(const std::vector<std::shared_ptr<const Song>>& songs) {
  // Straight into the compact form: a queue of a million songs never holds a pointer per entry.
  auto list = std::make_shared<EntryList>();
  std::unordered_map<const Song*, std::uint32_t> positions;
  reserveLarge(list->order_, songs.size());
  for (const auto& song : songs) {
    const auto [it, added] = positions.try_emplace(song.get(), static_cast<std::uint32_t>(list->distinct_.size()));
    if (added) {
      list->distinct_.push_back(std::make_shared<const QueueEntry>(QueueEntry{song->title, song->artistName, *song}));
    }
    list->order_.push_back(it->second);
  }
  return list;
}

std::shared_ptr<const EntryList> EntryList::ofEntries(std::vector<std::shared_ptr<const QueueEntry>> entries) {
  auto list = std::make_shared<EntryList>();
  std::unordered_map<const QueueEntry*, std::uint32_t> positions;
  list->order_.reserve(entries.size());
  for (auto& entry : entries) {
    const auto [it, added] = positions.try_emplace(entry.get(), static_cast<std::uint32_t>(list->distinct_.size()));
    if (added) list->distinct_.push_back(std::move(entry));
    list->order_.push_back(it->second);
  }
  return list;
}

}  // namespace tolvane
