#include "h2/stream_store.hpp"

#include <algorithm>

namespace quillon::h2 {

namespace {
// The first table: room for 8 streams before it doubles.
constexpr unsigned kFirstTableBits = 4;
}  // namespace

size_t StreamStore::probe(uint32_t id) const {
  const size_t mask = table_.size() - 1;
  size_t i = home(id);
  while (table_[i].id != 0 && table_[i].id != id) i = (i + 1) & mask;
  return i;
}

Stream* StreamStore::find(uint32_t id) {
  if (size_ == 0 || id == 0) return nullptr;
  const Slot& s = table_[probe(id)];
  return s.id == id ? &slab_[s.index] : nullptr;
}

const Stream* StreamStore::find(uint32_t id) const {
  return const_cast<StreamStore*>(this)->find(id);
}

void StreamStore::grow() {
  const unsigned bits = table_.empty() ? kFirstTableBits : 33 - shift_;
  std::vector<Slot> old;
  old.swap(table_);
  table_.assign(size_t{1} << bits, Slot{});
  shift_ = 32 - bits;
  for (const Slot& s : old)
    if (s.id != 0) table_[probe(s.id)] = s;
}

Stream& StreamStore::insert(uint32_t id) {
  // At most half full: probes stay short, and a miss (a frame for a stream
  // we forgot) ends at an empty slot quickly.
  if ((size_ + 1) * 2 > table_.size()) grow();
  uint32_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
    slab_[index] = Stream{};
  } else {
    index = static_cast<uint32_t>(slab_.size());
    slab_.emplace_back();
  }
  table_[probe(id)] = Slot{id, index};
  ++size_;
  Stream& s = slab_[index];
  s.id = id;
  return s;
}

void* StreamStore::erase(uint32_t id) {
  if (size_ == 0 || id == 0) return nullptr;
  const size_t mask = table_.size() - 1;
  size_t hole = probe(id);
  if (table_[hole].id != id) return nullptr;
  Stream& s = slab_[table_[hole].index];
  void* handle = s.handle;
  s = Stream{};  // drops any stored error text now, not when the slot is reused
  free_.push_back(table_[hole].index);
  // Backward-shift deletion: pull later members of the probe run into the
  // hole when their home is at or before it, so lookups never need
  // tombstones.
  for (size_t j = (hole + 1) & mask; table_[j].id != 0; j = (j + 1) & mask) {
    const size_t from_home = (j - home(table_[j].id)) & mask;
    const size_t from_hole = (j - hole) & mask;
    if (from_home >= from_hole) {
      table_[hole] = table_[j];
      hole = j;
    }
  }
  table_[hole] = Slot{};
  --size_;
  return handle;
}

// --- reset store ------------------------------------------------------------

bool ResetStore::record(uint32_t id, uint64_t now) {
  // Entries are in insertion order, so the expired ones are a prefix.
  size_t expired = 0;
  while (expired < ids_.size() && now - ids_[expired].at > kResetStoreTtlNanos) ++expired;
  ids_.erase(ids_.begin(), ids_.begin() + static_cast<std::ptrdiff_t>(expired));
  if (ids_.size() >= kResetStoreCap) return false;
  ids_.push_back(Entry{id, now});
  return true;
}

bool ResetStore::contains(uint32_t id) const {
  return std::any_of(ids_.begin(), ids_.end(), [id](const Entry& e) { return e.id == id; });
}

}  // namespace quillon::h2
