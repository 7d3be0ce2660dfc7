// What a monitor hands the traffic history: it counts bytes as they are
// accounted, and flushes at least once a minute; the recorder keeps the
// counts of each minute until the store holds them, rewrites the current
// minute's counts so far on every flush (HistoryStore replaces them, so a
// flush never counts twice), keeps a minute for kLateSeconds after its end
// for bytes accounted late (and counts bytes later still into the oldest
// minute it holds, so that a rewrite never shrinks a stored minute to the
// late bytes alone), prunes the store once per UTC day, and reports
// a failing store once, not on every flush, until it works again.
//
// One thread at a time (the one that accounts and flushes). While the store
// fails, the last kMaxHeldMinutes minutes are held for the next flush and
// older ones are dropped, so a broken disk never makes memory grow; the
// traffic is counted and shown as ever.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "storage/history_store.h"

namespace corvane {

class HistoryRecorder {
 public:
  using ErrorHandler = std::function<void(const std::string& reason)>;
  static constexpr size_t kMaxHeldMinutes = 60;
  // Events reach the history a few seconds after their datagrams.
  static constexpr int64_t kLateSeconds = 60;

  // `store` must outlive the recorder.
  HistoryRecorder(HistoryStore& store, ErrorHandler onError,
                  int retentionDays = kDefaultHistoryDays);

  // `bytes` exchanged at `now` (UTC epoch seconds) by `app` with `remote`
  // in `direction` (kDirectionUpload or kDirectionDownload).
  void Add(int64_t now, std::string_view app, const IpAddress& remote, std::string_view remoteHost,
           int direction, uint64_t bytes);

  // Writes every held minute, one transaction each; minutes that ended
  // kLateSeconds before `now` are forgotten once written. Prunes when a new UTC day has
  // begun since the last prune. False when a write failed (the minute stays
  // held); the error handler was called if the previous flush succeeded.
  bool Flush(int64_t now);

  size_t heldMinutes() const { return minutes_.size(); }

 private:
  struct Key {
    std::string app;
    IpAddress remote;
    int direction = 0;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& key) const noexcept;
  };
  using Minute = std::unordered_map<Key, HistoryRow, KeyHash>;

  void Report(const HistoryStatus& status);

  HistoryStore& store_;
  ErrorHandler onError_;
  int retentionDays_;
  std::map<int64_t, Minute> minutes_;  // by the minute's start
  std::vector<HistoryRow> rows_;       // reused by Flush
  int64_t closedBefore_ = INT64_MIN;   // minutes before this one are forgotten
  int64_t prunedDay_ = -1;
  bool failing_ = false;
};

}  // namespace corvane
