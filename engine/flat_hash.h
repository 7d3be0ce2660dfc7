// Small open-addressing hash tables for the capture thread's per-datagram
// work: one probe into a flat array instead of a node per entry, and no
// allocation once the table has grown to the number of flows.
//
// Not thread-safe: the owner guards them (FlowTable's mutex, queueMutex).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

inline uint64_t MixHash(uint64_t key) {
  // The finaliser of MurmurHash3: spreads neighbouring addresses and ports
  // over the whole table.
  key ^= key >> 33;
  key *= 0xff51afd7ed558ccdull;
  key ^= key >> 33;
  key *= 0xc4ceb9fe1a85ec53ull;
  key ^= key >> 33;
  return key;
}

// A map from 32-bit keys to `Value`, kept at most half full. Entries are
// never removed one by one, only all at once.
template <typename Value>
class FlatMap32 {
 public:
  struct Entry {
    uint32_t key = 0;
    bool used = false;
    Value value{};
  };

  // The value of `key`, default-constructed and inserted when missing.
  Value& operator[](uint32_t key) {
    if ((size_ + 1) * 2 > entries_.size()) Grow();
    size_t slot = Find(key);
    Entry& entry = entries_[slot];
    if (!entry.used) {
      entry.used = true;
      entry.key = key;
      entry.value = Value{};
      ++size_;
    }
    return entry.value;
  }

  const Value* Lookup(uint32_t key) const {
    if (size_ == 0) return nullptr;
    const Entry& entry = entries_[Find(key)];
    return entry.used ? &entry.value : nullptr;
  }

  size_t size() const { return size_; }

  void clear() {
    entries_.clear();
    entries_.shrink_to_fit();
    size_ = 0;
  }

  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (const Entry& entry : entries_) {
      if (entry.used) fn(entry.key, entry.value);
    }
  }

 private:
  size_t Find(uint32_t key) const {
    const size_t mask = entries_.size() - 1;
    size_t slot = static_cast<size_t>(MixHash(key)) & mask;
    while (entries_[slot].used && entries_[slot].key != key) slot = (slot + 1) & mask;
    return slot;
  }

  void Grow() {
    std::vector<Entry> old;
    old.swap(entries_);
    entries_.assign(old.empty() ? 64 : old.size() * 2, Entry{});
    for (const Entry& entry : old) {
      if (entry.used) entries_[Find(entry.key)] = entry;
    }
  }

  std::vector<Entry> entries_;  // size is a power of two, or 0
  size_t size_ = 0;
};

// A set of 64-bit keys that empties in constant time: an entry belongs to
// the set only while its stamp equals the current generation.
class GenerationSet64 {
 public:
  // Inserts `key`; false when it was already there.
  bool Insert(uint64_t key) {
    if ((size_ + 1) * 2 > entries_.size()) Grow();
    const size_t mask = entries_.size() - 1;
    size_t slot = static_cast<size_t>(MixHash(key)) & mask;
    while (entries_[slot].generation == generation_) {
      if (entries_[slot].key == key) return false;
      slot = (slot + 1) & mask;
    }
    entries_[slot] = Entry{key, generation_};
    ++size_;
    return true;
  }

  void Clear() {
    size_ = 0;
    if (++generation_ == 0) {
      // After 2^32 clears the stamps would come round again.
      for (Entry& entry : entries_) entry.generation = 0;
      generation_ = 1;
    }
  }

  size_t size() const { return size_; }

 private:
  struct Entry {
    uint64_t key = 0;
    uint32_t generation = 0;
  };

  void Grow() {
    std::vector<Entry> old;
    old.swap(entries_);
    entries_.assign(old.empty() ? 256 : old.size() * 2, Entry{});
    const uint32_t current = generation_;
    size_ = 0;
    for (const Entry& entry : old) {
      if (entry.generation == current) Insert(entry.key);
    }
  }

  std::vector<Entry> entries_;  // size is a power of two, or 0
  uint32_t generation_ = 1;     // 0 marks a never-used entry
  size_t size_ = 0;
};

}  // namespace corvane
