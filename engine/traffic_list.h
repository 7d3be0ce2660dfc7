// The traffic list: the rows that the main window shows, one per flow: an
// address row per (remote address, local source), a proxy row per (web host,
// local source).
//
// Each row carries the identity of its flow (RowKey), a row id that stays
// the row's for as long as it is in the list, and its counts and times as
// numbers; the only texts it holds are those that are no numbers (the
// address as shown, the host name, the local source). Byte counts and times
// become texts only when they are read as texts (a log, an export, a tool).
// Rows are found by their key through a constant-time index, never by their
// texts, and sorting and the idle mark use the numbers. The list is guarded
// by listMutex: every call except SetChangeSink and Publish must be made
// while holding a TrafficList::Lock (the compiler checks it: see
// platform/thread_annotations.h). The processing thread, resolver threads
// and the sort thread change it; the window thread takes the lock only for
// short commands of its own.
//
// Every change that a copy of the list must follow also produces a
// ListChange record naming the row by its id. Records are kept, in order,
// until whoever changed the list calls Publish() after releasing its Lock;
// Publish hands everything kept so far to the change sink, in order, and
// never runs the sink inside listMutex. The window's model applies them to
// its own rows, keyed by id, and never waits for the lock.
//
// Row index 0 is the top of the list (the order logs and exports are
// written in). Rows never move once stored: the list order is a vector of
// row ids kept bottom-up, so inserting at the top costs O(1) and a sort or a
// removal only moves ids. The selected rows (the mark of recent activity)
// are kept apart, so the idle-row step only visits rows that carry the mark.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_address.h"
#include "platform/large_table.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "vocabulary/rows.h"

namespace corvane {

// The texts of a row that are no numbers: "Remote IP", "Remote host" and
// "Local source" as shown.
struct RowTexts {
  std::string address;
  std::string host;
  std::string source;

  bool operator==(const RowTexts&) const = default;
};

// The eight cells that `texts` and `values` show (byte counts and local
// times as FormatByteCount and FormatTimestamp write them): what a log,
// an export, Copy and the window's list show of a row.
RowCells CellsOf(const RowTexts& texts, const RowValues& values);
// The text of `column` when it is one of the three texts, else nullptr.
const std::string* TextOfColumn(const RowTexts& texts, int column);

// One change of the list, naming its row by id. Ids of removed rows are
// given to later rows: records are applied in order, so an id always means
// the row most recently inserted under it.
struct ListChange {
  enum class Kind {
    Insert,  // row `id` of flow `key` (none for a row read from a log):
             // `values`, and `texts` (address, host, local source)
    Counts,  // row `id`'s `values` (counts, first and last activity) changed
    Text,    // row `id`'s text `column` (address, host or local source) is `text`
    Mark,    // row `id` had new activity (`marked`) or went idle
    Remove,  // row `id`
    Clear,   // every row
  };
  Kind kind = Kind::Clear;
  uint32_t id = 0;
  int column = 0;
  bool marked = false;
  std::string text;
  RowKey key;
  RowValues values;
  RowTexts texts;
};

class TrafficList {
 public:
  using ChangeSink = std::function<void(std::vector<ListChange>&&)>;
  static constexpr uint32_t kNone = 0xffffffffu;

  // Holds listMutex. The records made under it wait for Publish().
  class SCOPED_CAPABILITY Lock {
   public:
    explicit Lock(TrafficList& list) ACQUIRE(list.listMutex_) : lock_(list.listMutex_) {}
    ~Lock() RELEASE() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
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
  // (GUARDED_BY(list.mutex()), REQUIRES(list.mutex())).
  Mutex& mutex() const RETURN_CAPABILITY(listMutex_) { return listMutex_; }

  // Set before any worker starts; takes listMutex itself, so never under a
  // Lock. Without a sink no records are kept.
  void SetChangeSink(ChangeSink sink) EXCLUDES(listMutex_, publishMutex_);
  // Hands every record made so far to the sink, in the order they were
  // made. Called by whoever changed the list, after releasing its Lock;
  // calls of several threads deliver their records in order.
  void Publish() EXCLUDES(listMutex_, publishMutex_);

  // --- everything below requires a Lock ---
  int Count() const REQUIRES(listMutex_) { return static_cast<int>(order_.size()); }
  // A row's texts as shown (counts and times formatted now).
  std::string Cell(int row, int column) const REQUIRES(listMutex_);
  RowCells Cells(int row) const REQUIRES(listMutex_);
  const RowTexts& Texts(int row) const REQUIRES(listMutex_);
  // The row's host name when one replaced its address text, else empty.
  std::string_view HostName(int row) const REQUIRES(listMutex_);
  bool IsSelected(int row) const REQUIRES(listMutex_);
  const RowValues& Values(int row) const REQUIRES(listMutex_);
  const RowKey& Key(int row) const REQUIRES(listMutex_);
  // The row's id, which its change records name.
  uint32_t Id(int row) const REQUIRES(listMutex_) { return IdOf(row); }

  // Inserts the row of flow `key` at the top. The key must not be in the
  // list already.
  void InsertTop(const RowKey& key, RowTexts texts, const RowValues& values) REQUIRES(listMutex_);
  // Inserts the row of flow `key` where the list's last sort puts it (at
  // the top when it was never sorted) and returns its row.
  int Insert(const RowKey& key, RowTexts texts, const RowValues& values) REQUIRES(listMutex_);
  // The column and direction of the last sort, by which Insert places rows;
  // set by SortTrafficList.
  void SetSortedBy(int column, bool smallestFirst) REQUIRES(listMutex_) {
    sortColumn_ = column;
    sortSmallestFirst_ = smallestFirst;
  }
  // The same with the texts taken from `cells` (their numbers are `values`).
  void InsertTop(const RowKey& key, const RowCells& cells, const RowValues& values)
      REQUIRES(listMutex_) {
    InsertTop(key,
              RowTexts{cells[kColumnRemoteIp], cells[kColumnRemoteHost], cells[kColumnLocalSource]},
              values);
  }
  // Inserts a row of no flow (FindRow never finds it), its values read
  // from its cells.
  void InsertTop(const RowCells& cells, int64_t lastActivity) REQUIRES(listMutex_);
  // Sets one cell from its text. For a byte-count or time column the value
  // is read from the text.
  void SetCell(int row, int column, std::string_view text) REQUIRES(listMutex_);
  // Sets the counts and the last activity.
  void SetCounts(int row, uint64_t downloadBytes, uint64_t uploadBytes, int64_t lastTime)
      REQUIRES(listMutex_);
  void SetLastActivity(int row, int64_t time) REQUIRES(listMutex_);
  void SetSelected(int row, bool selected) REQUIRES(listMutex_);
  void Remove(int row) REQUIRES(listMutex_);
  void Clear() REQUIRES(listMutex_);
  // Puts the rows into a new order: `order[newIndex] = oldIndex`, a
  // permutation of 0..Count()-1. Makes no record: a copy keeps its own
  // order.
  void Reorder(const std::vector<int>& order) REQUIRES(listMutex_);

  // The row of flow `key`, or -1.
  int FindRow(const RowKey& key) const REQUIRES(listMutex_);
  // Hints that FindRow(key) follows soon. PrefetchIndex starts bringing the
  // key's index entry into the cache; PrefetchRow, some time after it, the
  // row that entry names. A batch of look-ups that first hints every key,
  // then every row, waits for memory about once instead of twice a row.
  void PrefetchIndex(const RowKey& key) const REQUIRES(listMutex_) { byKey_.Prefetch(key); }
  void PrefetchRow(const RowKey& key) const REQUIRES(listMutex_) { byKey_.PrefetchRow(key, state_); }
  // First row from the top whose "Remote IP" is `addressText` (and whose
  // "Local source" is `localSource`, when given), or -1. Walks the list:
  // for tests and tools, never for finding a flow's row.
  int FindRemoteIpRow(std::string_view addressText, std::string_view localSource = {}) const
      REQUIRES(listMutex_);

  // Clears the selection of every row whose last activity lies 5 to 8
  // seconds before `now`.
  void DeselectIdleRows(int64_t now) REQUIRES(listMutex_);

  // Copies of all rows as texts, top to bottom.
  std::vector<RowCells> Rows() const REQUIRES(listMutex_);

 private:
  // Everything a row holds; the hot paths (ordering, idle marks, sorting)
  // walk these in one array.
  struct RowState {
    uint32_t slot = kNone;         // position in order_, kNone when free
    uint32_t selectedAt = kNone;   // position in selected_, kNone when not selected
    bool keyed = false;            // found by FindRow
    bool named = false;            // texts.host is not texts.address
    RowKey key;
    RowValues values;
    RowTexts texts;
  };

  // An open-addressing map from row keys to row ids, at most half full.
  // Removal shifts the following entries back (no tombstones).
  // The rows' states by id, in blocks of a fixed size: a growing list
  // never copies its rows, nor holds two copies of them while it grows.
  class RowStore {
   public:
    RowState& operator[](uint32_t id) { return blocks_[id >> kBlockBits][id & kBlockMask]; }
    const RowState& operator[](uint32_t id) const {
      return blocks_[id >> kBlockBits][id & kBlockMask];
    }
    size_t size() const { return size_; }
    void emplace_back() {
      if ((size_ & kBlockMask) == 0) blocks_.push_back(std::make_unique<RowState[]>(kBlockMask + 1));
      ++size_;
    }
    void clear() {
      blocks_.clear();
      blocks_.shrink_to_fit();
      size_ = 0;
    }

   private:
    static constexpr uint32_t kBlockBits = 10;
    static constexpr uint32_t kBlockMask = (1u << kBlockBits) - 1;
    std::vector<std::unique_ptr<RowState[]>> blocks_;
    size_t size_ = 0;
  };

  // The row ids by key. An entry holds the low 32 bits of its key's hash
  // and the row's id; the key itself is the row's, so that an entry is 8
  // bytes.
  class KeyIndex {
   public:
    void Insert(const RowKey& key, uint32_t id);
    void Erase(const RowKey& key, const RowStore& rows);
    void Clear();
    uint32_t Find(const RowKey& key, const RowStore& rows) const;
    void Prefetch(const RowKey& key) const;
    void PrefetchRow(const RowKey& key, const RowStore& rows) const;

   private:
    struct Entry {
      uint32_t hash = 0;
      uint32_t id = kNone;
    };
    static uint32_t Hash(const RowKey& key);
    void Place(const Entry& entry);
    std::vector<Entry, LargeTableAllocator<Entry>> entries_;  // size is a power of two, or 0
    size_t size_ = 0;
  };

  uint32_t IdOf(int row) const REQUIRES(listMutex_) {
    return order_[order_.size() - 1 - static_cast<size_t>(row)];
  }
  int RowOfSlot(uint32_t slot) const REQUIRES(listMutex_) {
    return static_cast<int>(order_.size() - 1 - slot);
  }
  void Emit(ListChange&& change) REQUIRES(listMutex_);
  void EmitCounts(uint32_t id) REQUIRES(listMutex_);
  uint32_t NewRow(RowTexts&& texts, const RowValues& values) REQUIRES(listMutex_);
  void Select(uint32_t id) REQUIRES(listMutex_);
  void Unselect(uint32_t id) REQUIRES(listMutex_);

  mutable Mutex listMutex_;
  // Taken before listMutex_ by Publish, so that the batches of two threads
  // reach the sink in the order they were made.
  Mutex publishMutex_;
  ChangeSink sink_ GUARDED_BY(publishMutex_);
  bool recording_ GUARDED_BY(listMutex_) = false;  // a sink is set
  std::vector<ListChange> pending_ GUARDED_BY(listMutex_);
  RowStore state_ GUARDED_BY(listMutex_);   // by row id
  std::vector<uint32_t> freeIds_ GUARDED_BY(listMutex_);  // ids of removed rows, for reuse
  std::vector<uint32_t> order_ GUARDED_BY(listMutex_);    // row ids, bottom to top
  std::vector<uint32_t> selected_ GUARDED_BY(listMutex_); // ids of the selected rows, unordered
  KeyIndex byKey_ GUARDED_BY(listMutex_);
  int sortColumn_ GUARDED_BY(listMutex_) = -1;
  bool sortSmallestFirst_ GUARDED_BY(listMutex_) = false;
};

}  // namespace corvane
