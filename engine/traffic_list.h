// The traffic list: the rows that the main window shows, one per flow: an
// address row per (remote address, local source), a proxy row per (web host,
// local source).
//
// Each row carries the identity of its flow (RowKey) and its counts and
// times as numbers beside the texts it shows; rows are found by their key
// through a constant-time index, never by their texts, and sorting and the
// idle mark use the numbers. The list is guarded by listMutex: every call
// except SetChangeSink must be made while holding a TrafficList::Lock (the
// compiler checks it: see platform/thread_annotations.h). The
// processing thread, resolver threads and the sort thread change it; the
// window thread takes the lock only for short commands of its own.
//
// Every change also produces a ListChange record. Records are handed to the
// change sink, in order, when the Lock that made them is released (still
// inside the mutex, so records of different threads never interleave). The
// window's model applies them to its own copy and never waits for the lock.
//
// Row index 0 is the top of the list. Rows never move once stored: the list
// order is a vector of row ids kept bottom-up, so inserting at the top costs
// O(1) and a sort or a removal only moves ids. The selected rows are kept
// apart, so the idle-row step only visits rows that carry the mark. Without
// a change sink (corvane-cli, tests) new counts are stored as numbers only
// and their texts are made when they are read.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_address.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "vocabulary/rows.h"

namespace corvane {

struct ListChange {
  enum class Kind {
    Insert,    // `row` (always 0 from the engine) with `cells`
    SetCell,   // `row`, `column`, `text`
    Select,    // `row`
    Deselect,  // `row`
    Remove,    // `row`
    Clear,     // every row
    Reorder,   // `order[newIndex] = oldIndex`
    Counts,    // `row`'s bytes in both directions are now `bytes`
  };
  Kind kind = Kind::Clear;
  int row = 0;
  int column = 0;
  std::string text;
  RowCells cells;
  std::vector<int> order;
  // Insert and Counts: the row's bytes in both directions, which the
  // window's live speed follows even while the rounded texts stay the same.
  uint64_t bytes = 0;
  // Insert: the flow the row shows (none for a row read from a log).
  RowKey key;
};

class TrafficList {
 public:
  using ChangeSink = std::function<void(std::vector<ListChange>&&)>;

  // Holds listMutex; on release hands the records made under it to the
  // sink.
  class SCOPED_CAPABILITY Lock {
   public:
    explicit Lock(TrafficList& list) ACQUIRE(list.listMutex_);
    ~Lock() RELEASE();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    TrafficList& list_;
    MutexLock lock_;
  };

  // Holds listMutex for reading a list one may not change (the Monitor's
  // list() to the window, corvane-cli and tests); makes no records.
  class SCOPED_CAPABILITY ReadLock {
   public:
    explicit ReadLock(const TrafficList& list) ACQUIRE(list.listMutex_) : lock_(list.listMutex_) {}
    ~ReadLock() RELEASE() = default;
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;

   private:
    MutexLock lock_;
  };

  // The mutex a Lock holds, for naming it in lock rules
  // (GUARDED_BY(list.mutex()), REQUIRES(list.mutex())); taken only through
  // a Lock, which hands the records on.
  Mutex& mutex() const RETURN_CAPABILITY(listMutex_) { return listMutex_; }

  // Set before any worker starts; takes listMutex itself, so never under a
  // Lock. Without a sink no records are kept.
  void SetChangeSink(ChangeSink sink) EXCLUDES(listMutex_);

  // --- everything below requires a Lock ---
  int Count() const REQUIRES(listMutex_) { return static_cast<int>(order_.size()); }
  const std::string& Cell(int row, int column) const REQUIRES(listMutex_);
  bool IsSelected(int row) const REQUIRES(listMutex_);
  const RowCells& Cells(int row) const REQUIRES(listMutex_);
  const RowValues& Values(int row) const REQUIRES(listMutex_);
  const RowKey& Key(int row) const REQUIRES(listMutex_);

  // Inserts the row of flow `key` at the top; `values` are what `cells`
  // show. The key must not be in the list already.
  void InsertTop(const RowKey& key, RowCells cells, const RowValues& values) REQUIRES(listMutex_);
  // Inserts a row of no flow (FindRow never finds it), its values read
  // from its texts.
  void InsertTop(RowCells cells, int64_t lastActivity) REQUIRES(listMutex_);
  // Sets one text. For a byte-count or time column the value is read from
  // the text.
  void SetCell(int row, int column, std::string text) REQUIRES(listMutex_);
  // Sets the counts (and the texts "DL", "UL", "DL & UL" showing them) and
  // the last activity (`lastText` shows `lastTime`).
  void SetCounts(int row, uint64_t downloadBytes, uint64_t uploadBytes, int64_t lastTime,
                 std::string_view lastText) REQUIRES(listMutex_);
  // Sets "Last activity" to `text`, which shows `time`.
  void SetLastActivity(int row, std::string_view text, int64_t time) REQUIRES(listMutex_);
  void SetSelected(int row, bool selected) REQUIRES(listMutex_);
  void Remove(int row) REQUIRES(listMutex_);
  void Clear() REQUIRES(listMutex_);
  // Puts the rows into a new order: `order[newIndex] = oldIndex`, a
  // permutation of 0..Count()-1.
  void Reorder(const std::vector<int>& order) REQUIRES(listMutex_);

  // The row of flow `key`, or -1.
  int FindRow(const RowKey& key) const REQUIRES(listMutex_);
  // First row from the top whose "Remote IP" is `addressText` (and whose
  // "Local source" is `localSource`, when given), or -1. Walks the list:
  // for tests and tools, never for finding a flow's row.
  int FindRemoteIpRow(std::string_view addressText, std::string_view localSource = {}) const
      REQUIRES(listMutex_);

  // Clears the selection of every row whose last activity lies 5 to 8
  // seconds before `now`.
  void DeselectIdleRows(int64_t now) REQUIRES(listMutex_);

  // Copies of all rows, top to bottom.
  std::vector<RowCells> Rows() const REQUIRES(listMutex_);

 private:
  static constexpr uint32_t kNone = 0xffffffffu;

  // What the hot paths (ordering, idle marks, sorting) need of a row,
  // apart from its texts, so that they walk a compact array.
  struct RowState {
    uint32_t slot = kNone;         // position in order_, kNone when free
    uint32_t selectedAt = kNone;   // position in selected_, kNone when not selected
    bool keyed = false;            // found by FindRow
    // The count and last-activity texts lag behind the values: set without
    // a change sink, where nobody looks until the texts are read.
    bool textsStale = false;
    RowKey key;
    RowValues values;
  };

  // An open-addressing map from row keys to row ids, at most half full.
  // Removal shifts the following entries back (no tombstones).
  class KeyIndex {
   public:
    void Insert(const RowKey& key, uint32_t id);
    void Erase(const RowKey& key);
    void Clear();
    uint32_t Find(const RowKey& key) const;

   private:
    struct Entry {
      RowKey key;
      uint32_t id = kNone;
    };
    static size_t Home(const RowKey& key, size_t mask);
    void Place(const Entry& entry);
    std::vector<Entry> entries_;  // size is a power of two, or 0
    size_t size_ = 0;
  };

  // Row texts by id, in fixed-size blocks: a row never moves, and growing
  // the list never copies the rows already stored.
  class RowStore {
   public:
    RowCells& operator[](uint32_t id) { return blocks_[id / kBlockRows][id % kBlockRows]; }
    const RowCells& operator[](uint32_t id) const { return blocks_[id / kBlockRows][id % kBlockRows]; }
    uint32_t size() const { return size_; }
    void push_back(RowCells&& cells);
    void clear();

   private:
    static constexpr uint32_t kBlockRows = 4096;
    std::vector<std::unique_ptr<RowCells[]>> blocks_;
    uint32_t size_ = 0;
  };

  uint32_t IdOf(int row) const REQUIRES(listMutex_) {
    return order_[order_.size() - 1 - static_cast<size_t>(row)];
  }
  int RowOfSlot(uint32_t slot) const REQUIRES(listMutex_) {
    return static_cast<int>(order_.size() - 1 - slot);
  }
  void Emit(ListChange&& change) REQUIRES(listMutex_);
  uint32_t NewRow(RowCells&& cells) REQUIRES(listMutex_);
  // Sets one text and records the change; false when it did not change.
  bool SetText(uint32_t id, int row, int column, std::string_view text) REQUIRES(listMutex_);
  // The texts of a row, stale ones brought up to date first.
  const RowCells& TextsOf(uint32_t id) const REQUIRES(listMutex_);
  void Select(uint32_t id) REQUIRES(listMutex_);
  void Unselect(uint32_t id) REQUIRES(listMutex_);

  mutable Mutex listMutex_;
  ChangeSink sink_ GUARDED_BY(listMutex_);
  std::vector<ListChange> pending_ GUARDED_BY(listMutex_);
  // By row id; stale texts are brought up to date when read.
  mutable RowStore cells_ GUARDED_BY(listMutex_);
  mutable std::vector<RowState> state_ GUARDED_BY(listMutex_);  // by row id
  std::vector<uint32_t> freeIds_ GUARDED_BY(listMutex_);    // ids of removed rows, for reuse
  std::vector<uint32_t> order_ GUARDED_BY(listMutex_);      // row ids, bottom to top
  std::vector<uint32_t> selected_ GUARDED_BY(listMutex_);   // ids of the selected rows, unordered
  KeyIndex byKey_ GUARDED_BY(listMutex_);
};

}  // namespace corvane
