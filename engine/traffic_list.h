// The traffic list: the rows that the main window shows, one per remote
// address (or web host) and local source.
//
// The list is the only store of per-row facts (local source, first and last
// activity, the shown host name); rows are found by their cell texts. It is
// guarded by listMutex: every call except SetChangeSink must be made while
// holding a TrafficList::Lock. The processing thread, resolver threads and
// the sort thread change it; the window thread takes the lock only for short
// commands of its own.
//
// Every change also produces a ListChange record. Records are handed to the
// change sink, in order, when the Lock that made them is released (still
// inside the mutex, so records of different threads never interleave). The
// window's model applies them to its own copy and never waits for the lock.
//
// Row index 0 is the top of the list. Rows never move once stored: the list
// order is a vector of row ids kept bottom-up, so inserting at the top costs
// O(1) and a sort or a removal only moves ids. Flat hash indices of the two
// key columns make FindAddressRow and FindHostRow cost O(rows of that key),
// and the selected rows are kept apart, so the idle-row step only visits
// rows that carry the mark.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

enum Column : int {
  kColumnRemoteIp = 0,
  kColumnRemoteHost = 1,
  kColumnDownload = 2,
  kColumnUpload = 3,
  kColumnTotal = 4,
  kColumnLocalSource = 5,
  kColumnFirstActivity = 6,
  kColumnLastActivity = 7,
};
inline constexpr int kColumnCount = 8;

using RowCells = std::array<std::string, kColumnCount>;

struct ListChange {
  enum class Kind {
    Insert,    // `row` (always 0 from the engine) with `cells`
    SetCell,   // `row`, `column`, `text`
    Select,    // `row`
    Deselect,  // `row`
    Remove,    // `row`
    Clear,     // every row
    Reorder,   // `order[newIndex] = oldIndex`
  };
  Kind kind = Kind::Clear;
  int row = 0;
  int column = 0;
  std::string text;
  RowCells cells;
  std::vector<int> order;
};

class TrafficList {
 public:
  using ChangeSink = std::function<void(std::vector<ListChange>&&)>;

  // Holds listMutex; on release hands the records made under it to the
  // sink.
  class Lock {
   public:
    explicit Lock(TrafficList& list);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    TrafficList& list_;
    std::unique_lock<std::mutex> lock_;
  };

  // Set before any worker starts (or under a Lock). Without a sink no
  // records are kept.
  void SetChangeSink(ChangeSink sink);

  // --- everything below requires a Lock ---
  int Count() const { return static_cast<int>(order_.size()); }
  const std::string& Cell(int row, int column) const;
  bool IsSelected(int row) const;
  const RowCells& Cells(int row) const;

  // Inserts a row at the top. `lastActivity` is the time that the
  // "Last activity" text shows.
  void InsertTop(RowCells cells, int64_t lastActivity);
  void SetCell(int row, int column, std::string text);
  // Sets "Last activity" to `text`, which shows `time`.
  void SetLastActivity(int row, std::string_view text, int64_t time);
  void SetSelected(int row, bool selected);
  void Remove(int row);
  void Clear();
  // Puts the rows into a new order: `order[newIndex] = oldIndex`, a
  // permutation of 0..Count()-1.
  void Reorder(const std::vector<int>& order);

  // First row from the top with these "Remote IP" / "Local source" texts,
  // or -1.
  int FindAddressRow(std::string_view addressText, std::string_view localSource) const;
  // First row from the top with these "Remote host" / "Local source" texts,
  // or -1.
  int FindHostRow(std::string_view hostText, std::string_view localSource) const;
  // First row from the top whose "Remote IP" is `addressText`, or -1.
  int FindRemoteIpRow(std::string_view addressText) const;
  // First row from the top whose "Remote IP" and "Remote host" are both
  // `addressText`: a row of that address still waiting for its name; or -1.
  int FindUnnamedRow(std::string_view addressText) const;

  // Clears the selection of every row whose last activity lies 5 to 8
  // seconds before `now`.
  void DeselectIdleRows(int64_t now);

  // Copies of all rows, top to bottom.
  std::vector<RowCells> Rows() const;

 private:
  static constexpr uint32_t kNone = 0xffffffffu;

  // What the hot paths (ordering, idle marks) need of a row, apart from its
  // texts, so that they walk a compact array.
  struct RowState {
    uint32_t slot = kNone;         // position in order_, kNone when free
    uint32_t selectedAt = kNone;   // position in selected_, kNone when not selected
    int64_t lastActivity = 0;
  };

  // An open-addressing multimap from a key column's text to row ids. Each
  // entry keeps a 32-bit hash of the text beside the id, so a probe reads a
  // row only when its key very likely matches, and entries can be moved
  // without reading rows. At most half full; removal shifts the following
  // entries back (no tombstones).
  class KeyIndex {
   public:
    struct Entry {
      uint32_t hash = 0;
      uint32_t id = kNone;
    };
    static uint32_t Hash(std::string_view text) {
      uint64_t h = std::hash<std::string_view>()(text);
      return static_cast<uint32_t>(h ^ (h >> 32));
    }
    void Insert(uint32_t hash, uint32_t id);
    void Erase(uint32_t hash, uint32_t id);
    void Clear();
    // Calls fn(id) for every entry whose hash is `hash`.
    template <typename Fn>
    void ForEachCandidate(uint32_t hash, Fn&& fn) const {
      if (entries_.empty()) return;
      const size_t mask = entries_.size() - 1;
      for (size_t i = hash & mask; entries_[i].id != kNone; i = (i + 1) & mask) {
        if (entries_[i].hash == hash) fn(entries_[i].id);
      }
    }

   private:
    void Place(Entry entry);
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

  uint32_t IdOf(int row) const { return order_[order_.size() - 1 - static_cast<size_t>(row)]; }
  int RowOfSlot(uint32_t slot) const { return static_cast<int>(order_.size() - 1 - slot); }
  void Emit(ListChange&& change);
  void IndexRow(uint32_t id);
  void UnindexRow(uint32_t id);
  void Select(uint32_t id);
  void Unselect(uint32_t id);
  int FindTopmost(const KeyIndex& index, int keyColumn, std::string_view key, int column,
                  std::string_view second) const;

  std::mutex listMutex_;
  ChangeSink sink_;                   // GUARDED_BY(listMutex_)
  std::vector<ListChange> pending_;   // GUARDED_BY(listMutex_)
  // All below GUARDED_BY(listMutex_).
  RowStore cells_;                    // by row id
  std::vector<RowState> state_;       // by row id
  std::vector<uint32_t> freeIds_;     // ids of removed rows, for reuse
  std::vector<uint32_t> order_;       // row ids, bottom to top
  std::vector<uint32_t> selected_;    // ids of the selected rows, unordered
  KeyIndex byRemoteIp_;
  KeyIndex byRemoteHost_;
};

}  // namespace corvane
