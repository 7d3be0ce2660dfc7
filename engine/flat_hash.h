// Small open-addressing hash tables for the capture thread's per-datagram
// work: one probe into a flat array instead of a node per entry, and no
// allocation once the table has grown to the number of flows.
//
// Not thread-safe: the owner guards them (FlowTable's mutex, queueMutex).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "platform/ip_address.h"
#include "platform/large_table.h"

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

// The identity of a flow or a socket as one flat value: a remote address of
// either family and a word that tells the flows of that address apart (a
// label id, or a transport and port). Compares exactly; MixHash spreads it.
struct FlowKey {
  uint64_t high = 0;  // the address's bytes 0..7
  uint64_t low = 0;   // the address's bytes 8..15
  uint64_t rest = 0;  // the family in the top byte, then the caller's word

  static FlowKey Of(const IpAddress& address, uint64_t word) {
    FlowKey key;
    std::memcpy(&key.high, address.bytes.data(), 8);
    std::memcpy(&key.low, address.bytes.data() + 8, 8);
    key.rest = uint64_t{static_cast<uint8_t>(address.family)} << 56 | word;
    return key;
  }
  IpAddress Address() const {
    IpAddress address;
    address.family = static_cast<IpFamily>(rest >> 56);
    std::memcpy(address.bytes.data(), &high, 8);
    std::memcpy(address.bytes.data() + 8, &low, 8);
    return address;
  }
  // The caller's word (a label id, or a transport and port).
  uint64_t Word() const { return rest & ((uint64_t{1} << 56) - 1); }
  bool operator==(const FlowKey&) const = default;
};

inline uint64_t MixHash(const FlowKey& key) {
  // One finaliser over the three words, each first spread by its own odd
  // multiplier: an IPv4 key (low word 0) costs what a 64-bit key does.
  return MixHash(key.high * 0x9e3779b97f4a7c15ull ^ key.low * 0xc2b2ae3d27d4eb4full ^
                 key.rest);
}

// Where a map's entry keeps whether it is used: a flag beside a number key;
// inside a FlowKey, whose family byte is never 0 for a real key, so that an
// entry is 8 bytes smaller.
template <typename Key>
struct FlatSlot {
  Key key{};
  bool used = false;
  bool Used() const { return used; }
  void MarkUsed() { used = true; }
};
template <>
struct FlatSlot<FlowKey> {
  FlowKey key{};
  bool Used() const { return key.rest != 0; }
  void MarkUsed() {}
};

// A map from 32- or 64-bit keys, or FlowKeys, to `Value`, kept at most half
// full.
// Entries are never removed one by one, only all at once.
template <typename Key, typename Value>
class FlatMap {
 public:
  struct Entry : FlatSlot<Key> {
    Value value{};
  };

  // The value of `key`, default-constructed and inserted when missing.
  Value& operator[](const Key& key) {
    if ((size_ + 1) * 2 > entries_.size()) Grow();
    size_t slot = Find(key);
    Entry& entry = entries_[slot];
    if (!entry.Used()) {
      entry.key = key;
      entry.MarkUsed();
      entry.value = Value{};
      ++size_;
    }
    return entry.value;
  }

  const Value* Lookup(const Key& key) const {
    if (size_ == 0) return nullptr;
    const Entry& entry = entries_[Find(key)];
    return entry.Used() ? &entry.value : nullptr;
  }
  Value* Lookup(const Key& key) {
    if (size_ == 0) return nullptr;
    Entry& entry = entries_[Find(key)];
    return entry.Used() ? &entry.value : nullptr;
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
      if (entry.Used()) fn(entry.key, entry.value);
    }
  }
  template <typename Fn>
  void ForEachMutable(Fn&& fn) {
    for (Entry& entry : entries_) {
      if (entry.Used()) fn(entry.key, entry.value);
    }
  }

 private:
  size_t Find(const Key& key) const {
    const size_t mask = entries_.size() - 1;
    size_t slot = static_cast<size_t>(MixHash(key)) & mask;
    while (entries_[slot].Used() && entries_[slot].key != key) slot = (slot + 1) & mask;
    return slot;
  }

  void Grow() {
    Entries old;
    old.swap(entries_);
    entries_.assign(old.empty() ? 64 : old.size() * 2, Entry{});
    for (const Entry& entry : old) {
      if (entry.Used()) entries_[Find(entry.key)] = entry;
    }
  }

  using Entries = std::vector<Entry, LargeTableAllocator<Entry>>;
  Entries entries_;  // size is a power of two, or 0
  size_t size_ = 0;
};

template <typename Value>
using FlatMap32 = FlatMap<uint32_t, Value>;
template <typename Value>
using FlatMap64 = FlatMap<uint64_t, Value>;
template <typename Value>
using FlowKeyMap = FlatMap<FlowKey, Value>;

// A map from FlowKeys to `Value` for tables of very many flows: the entries
// lie in insertion order in blocks that never move, and a small index of
// 8 bytes a slot (the low half of the key's hash and the entry's number),
// at most half full, finds them. Growing moves only the index, never the
// entries, so a table is not held twice while it grows, and the
// half-empty slots cost 8 bytes each instead of a whole entry.
// Entries are never removed one by one, only all at once.
template <typename Value>
class FlowKeyStore {
 public:
  struct Entry {
    FlowKey key;
    Value value{};
  };

  // The value of `key`, default-constructed and inserted when missing.
  Value& operator[](const FlowKey& key) {
    const uint64_t hash = MixHash(key);
    if (const uint32_t found = Find(key, hash); found != kEmpty) return At(found).value;
    if ((size_ + 1) * 2 > index_.size()) GrowIndex();
    const uint32_t number = static_cast<uint32_t>(size_);
    if ((size_ & kBlockMask) == 0) blocks_.push_back(std::make_unique<Entry[]>(kBlockMask + 1));
    Entry& entry = At(number);
    entry.key = key;
    ++size_;
    Place(Slot{static_cast<uint32_t>(hash), number}, hash);
    return entry.value;
  }

  const Value* Lookup(const FlowKey& key) const {
    const uint32_t found = Find(key, MixHash(key));
    return found == kEmpty ? nullptr : &At(found).value;
  }
  Value* Lookup(const FlowKey& key) {
    const uint32_t found = Find(key, MixHash(key));
    return found == kEmpty ? nullptr : &At(found).value;
  }

  // A hint that `key` is looked up soon: PrefetchSlot starts bringing its
  // index slot into the cache; PrefetchEntry, some time after it, the entry
  // that slot names.
  void PrefetchSlot(const FlowKey& key) const {
    if (!index_.empty()) __builtin_prefetch(&index_[MixHash(key) & (index_.size() - 1)]);
  }
  void PrefetchEntry(const FlowKey& key) const {
    if (index_.empty()) return;
    const uint64_t hash = MixHash(key);
    const Slot& slot = index_[hash & (index_.size() - 1)];
    if (slot.number != kEmpty && slot.hash == static_cast<uint32_t>(hash)) {
      const char* entry = reinterpret_cast<const char*>(&At(slot.number));
      __builtin_prefetch(entry);
      __builtin_prefetch(entry + sizeof(Entry) - 1);
    }
  }

  size_t size() const { return size_; }

  void clear() {
    index_.clear();
    index_.shrink_to_fit();
    blocks_.clear();
    blocks_.shrink_to_fit();
    size_ = 0;
  }

  // In insertion order.
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (uint32_t number = 0; number < size_; ++number) fn(At(number).key, At(number).value);
  }

 private:
  static constexpr uint32_t kEmpty = ~uint32_t{0};
  static constexpr uint32_t kBlockBits = 12;
  static constexpr uint32_t kBlockMask = (1u << kBlockBits) - 1;
  struct Slot {
    uint32_t hash = 0;
    uint32_t number = kEmpty;
  };

  Entry& At(uint32_t number) { return blocks_[number >> kBlockBits][number & kBlockMask]; }
  const Entry& At(uint32_t number) const { return blocks_[number >> kBlockBits][number & kBlockMask]; }

  // The number of the entry of `key`, or kEmpty.
  uint32_t Find(const FlowKey& key, uint64_t hash) const {
    if (index_.empty()) return kEmpty;
    const size_t mask = index_.size() - 1;
    for (size_t i = hash & mask; index_[i].number != kEmpty; i = (i + 1) & mask) {
      if (index_[i].hash == static_cast<uint32_t>(hash) && At(index_[i].number).key == key) {
        return index_[i].number;
      }
    }
    return kEmpty;
  }

  void Place(const Slot& slot, uint64_t hash) {
    const size_t mask = index_.size() - 1;
    size_t i = hash & mask;
    while (index_[i].number != kEmpty) i = (i + 1) & mask;
    index_[i] = slot;
  }

  void GrowIndex() {
    index_.assign(index_.empty() ? 64 : index_.size() * 2, Slot{});
    for (uint32_t number = 0; number < size_; ++number) {
      const uint64_t hash = MixHash(At(number).key);
      Place(Slot{static_cast<uint32_t>(hash), number}, hash);
    }
  }

  std::vector<Slot, LargeTableAllocator<Slot>> index_;  // size is a power of two, or 0
  std::vector<std::unique_ptr<Entry[]>> blocks_;
  size_t size_ = 0;
};

// A set of 56-bit keys that empties in constant time: each entry is one
// 64-bit word, the key in the low 56 bits and the generation it was
// inserted in in the top 8; an entry belongs to the set only while that
// generation is the current one. One word per entry keeps a table of a
// busy second's keys small enough to stay in the caches.
class GenerationSet56 {
 public:
  static constexpr uint64_t kKeyMask = (uint64_t{1} << 56) - 1;

  // Inserts `key` (only its low 56 bits count); false when it was already
  // there.
  bool Insert(uint64_t key) {
    key &= kKeyMask;
    if ((size_ + 1) * 2 > entries_.size()) Grow();
    const size_t mask = entries_.size() - 1;
    const uint64_t stamp = uint64_t{generation_} << 56;
    size_t slot = static_cast<size_t>(MixHash(key)) & mask;
    while ((entries_[slot] & ~kKeyMask) == stamp) {
      if ((entries_[slot] & kKeyMask) == key) return false;
      slot = (slot + 1) & mask;
    }
    entries_[slot] = stamp | key;
    ++size_;
    return true;
  }

  void Clear() {
    size_ = 0;
    if (++generation_ == 0) {
      // The stamps would come round again: start from a clean table.
      for (uint64_t& entry : entries_) entry = 0;
      generation_ = 1;
    }
  }

  size_t size() const { return size_; }

 private:
  void Grow() {
    std::vector<uint64_t> old;
    old.swap(entries_);
    entries_.assign(old.empty() ? 1024 : old.size() * 2, 0);
    const uint64_t stamp = uint64_t{generation_} << 56;
    size_ = 0;
    for (uint64_t entry : old) {
      if ((entry & ~kKeyMask) == stamp) Insert(entry & kKeyMask);
    }
  }

  std::vector<uint64_t> entries_;  // size is a power of two, or 0
  uint8_t generation_ = 1;         // 0 marks a never-used entry
  size_t size_ = 0;
};

// A multimap from 64-bit keys to 32-bit values for one pass's worth of
// entries. Clear() empties it in constant time: each entry carries the
// generation it was inserted in and counts only while that generation is
// the current one. Find() hands each value stored under the key to
// `accept` until it takes one, so keys may be hashes that the caller
// verifies.
class PassIndex64 {
 public:
  template <typename Accept>
  std::optional<uint32_t> Find(uint64_t key, Accept&& accept) const {
    if (entries_.empty()) return std::nullopt;
    const size_t mask = entries_.size() - 1;
    for (size_t slot = static_cast<size_t>(MixHash(key)) & mask;
         entries_[slot].generation == generation_; slot = (slot + 1) & mask) {
      if (entries_[slot].key == key && accept(entries_[slot].value)) return entries_[slot].value;
    }
    return std::nullopt;
  }

  void Insert(uint64_t key, uint32_t value) {
    if ((size_ + 1) * 2 > entries_.size()) Grow();
    Place(Entry{key, value, generation_});
    ++size_;
  }

  void Clear() {
    size_ = 0;
    if (++generation_ == 0) {
      // The stamps would come round again: start from a clean table.
      for (Entry& entry : entries_) entry.generation = 0;
      generation_ = 1;
    }
  }

 private:
  struct Entry {
    uint64_t key = 0;
    uint32_t value = 0;
    uint32_t generation = 0;  // 0: never used
  };

  void Place(const Entry& entry) {
    const size_t mask = entries_.size() - 1;
    size_t slot = static_cast<size_t>(MixHash(entry.key)) & mask;
    while (entries_[slot].generation == generation_) slot = (slot + 1) & mask;
    entries_[slot] = entry;
  }

  void Grow() {
    std::vector<Entry> old;
    old.swap(entries_);
    entries_.assign(old.empty() ? 1024 : old.size() * 2, Entry{});
    for (const Entry& entry : old) {
      if (entry.generation == generation_) Place(entry);
    }
  }

  std::vector<Entry> entries_;  // size is a power of two, or 0
  uint32_t generation_ = 1;
  size_t size_ = 0;
};

}  // namespace corvane
