// What corvane-cli watch prints: the traffic list as text every second, or
// one JSON object per line (JSON Lines) each time a row appears or changes.
// Both carry each row's download and upload rate, which the watch works out
// itself from the row's byte counts over time (RateTracker).
//
// A JSON line holds the fields of the JSON export (storage/export_format.h),
// made by the export's own code, plus "download_rate" and "upload_rate" in
// whole bytes per second. Row texts come from the network and from other
// users' programs: the JSON strings escape every control character, and a
// text line writes no control character, invisible formatting character or
// malformed UTF-8 byte, so no row can move the cursor or recolour a terminal.
//
// RowChangeFeed is the Monitor's change sink (called on the engine's threads
// inside the list's lock) and hands the keys of the changed rows to the
// watch's own thread; everything else belongs to that one thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/traffic_list.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "vocabulary/rows.h"

namespace corvane {

enum class WatchFormat { kText, kJsonl };

// "text" or "jsonl".
std::optional<WatchFormat> ParseWatchFormat(std::string_view text);

struct RowKeyHash {
  size_t operator()(const RowKey& key) const noexcept;
};

// Bytes per second in each direction.
struct ByteRates {
  double download = 0;
  double upload = 0;
};

// The rates of rows from their byte counts, on a monotonic clock: the bytes
// a row gained since its last counts at or before kWindow ago, over the time
// since then, so a row idle for kWindow is at 0. A row seen only once has
// its counts over kWindow, as gained within it. Counts that go down (the row
// was cleared and came back) start the row afresh. One thread.
class RateTracker {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  static constexpr std::chrono::milliseconds kWindow{2000};

  // Notes the counts of row `key` at `now` (never earlier than the last
  // call for it) and returns its rates.
  ByteRates Observe(const RowKey& key, const RowValues& values, TimePoint now);
  // Forgets a row that left the list.
  void Forget(const RowKey& key) { rows_.erase(key); }
  // Forgets every row but those of `keys`.
  void KeepOnly(const std::vector<RowKey>& keys);
  void Clear() { rows_.clear(); }

 private:
  struct Sample {
    TimePoint time;
    uint64_t download = 0;
    uint64_t upload = 0;
  };
  // Oldest first: the last sample at or before the window's start, then
  // those inside it.
  std::unordered_map<RowKey, std::vector<Sample>, RowKeyHash> rows_;
};

// "12.30 KB/s": a rate as the list writes byte counts, per second.
std::string FormatRate(double bytesPerSecond);

// One row as a text line: the eight cells as FormatRowLine writes them
// (blanks inside a cell as "_"), then the download and upload rates, each
// cell first cleaned of control, formatting and malformed bytes.
std::string FormatWatchRowLine(const RowCells& cells, const ByteRates& rates);

// One row as a JSON line (ending in "\n").
std::string FormatJsonlLine(const RowCells& cells, const RowValues& values,
                            const ByteRates& rates);

// The list as text, one FormatWatchRowLine per row, top to bottom. Takes the
// list's ReadLock; notes every row's counts in `rates` and forgets the rows
// that are gone.
std::string FormatWatchList(const TrafficList& list, RateTracker& rates,
                            RateTracker::TimePoint now);

// Collects the keys of the rows that appeared or changed, from the list's
// change records, for the watch's thread to print. The sink keeps each row
// id's key to tell which row a record speaks of.
class RowChangeFeed {
 public:
  struct Changes {
    std::vector<RowKey> keys;  // each once, in the order they first changed
    bool cleared = false;      // the list was cleared since the last call
  };

  // The sink to hand to Monitor::SetRowChangeSink. The feed must outlive
  // the Monitor's use of it.
  TrafficList::ChangeSink Sink();

  // Waits until a row has changed or `deadline` has passed, and takes what
  // changed since the last call.
  Changes Wait(std::chrono::steady_clock::time_point deadline) EXCLUDES(mutex_);

 private:
  void Apply(std::vector<ListChange>&& changes) EXCLUDES(mutex_);
  void Note(uint32_t id) REQUIRES(mutex_);

  Mutex mutex_;
  std::condition_variable_any changed_;
  std::vector<RowKey> keyOfId_ GUARDED_BY(mutex_);  // by row id
  std::vector<RowKey> pending_ GUARDED_BY(mutex_);
  std::unordered_set<RowKey, RowKeyHash> pendingSet_ GUARDED_BY(mutex_);
  bool cleared_ GUARDED_BY(mutex_) = false;
};

// Writes a JSON line per changed row that is still in the list, each
// flushed at once, with its rates. The watch's thread.
class JsonlWriter {
 public:
  explicit JsonlWriter(std::FILE* out) : out_(out) {}

  // False when the output could not be written (a closed pipe).
  bool Write(const TrafficList& list, const RowChangeFeed::Changes& changes,
             RateTracker::TimePoint now);

 private:
  std::FILE* out_;
  RateTracker rates_;
};

}  // namespace corvane
