#include "storage/history_recorder.h"

#include <algorithm>

namespace corvane {

size_t HistoryRecorder::KeyHash::operator()(const Key& key) const noexcept {
  return std::hash<std::string>()(key.app) * 31 + IpAddressHash()(key.remote) * 7 +
         static_cast<size_t>(key.direction);
}

HistoryRecorder::HistoryRecorder(HistoryStore& store, ErrorHandler onError, int retentionDays)
    : store_(store), onError_(std::move(onError)), retentionDays_(retentionDays) {}

void HistoryRecorder::Add(int64_t now, std::string_view app, const IpAddress& remote,
                          std::string_view remoteHost, int direction, uint64_t bytes) {
  const int64_t minute = std::max(now - ((now % 60) + 60) % 60, closedBefore_);
  Minute& counts = minutes_[minute];
  auto [it, added] = counts.try_emplace(Key{std::string(app), remote, direction});
  HistoryRow& row = it->second;
  if (added) {
    row.app = app;
    row.remote = remote;
    row.direction = direction;
  }
  if (!remoteHost.empty() && row.remoteHost != remoteHost) row.remoteHost = remoteHost;
  row.bytes += bytes;
  while (minutes_.size() > kMaxHeldMinutes) {
    closedBefore_ = minutes_.begin()->first + 60;
    minutes_.erase(minutes_.begin());
  }
}

void HistoryRecorder::Report(const HistoryStatus& status) {
  if (status) {
    failing_ = false;
    return;
  }
  if (!failing_ && onError_) onError_(status.reason);
  failing_ = true;
}

bool HistoryRecorder::Flush(int64_t now) {
  bool ok = true;
  for (auto it = minutes_.begin(); it != minutes_.end();) {
    rows_.clear();
    for (const auto& [key, row] : it->second) rows_.push_back(row);
    const HistoryStatus status = store_.WriteMinute(it->first, rows_);
    Report(status);
    if (!status) {
      ok = false;
      break;  // the store is failing; the rest waits for the next flush
    }
    if (it->first + 60 + kLateSeconds <= now) {
      closedBefore_ = it->first + 60;
      it = minutes_.erase(it);
    } else {
      ++it;
    }
  }
  const int64_t day = now / kSecondsPerDay;
  if (ok && day != prunedDay_) {
    const HistoryStatus status = store_.Prune(now, retentionDays_);
    Report(status);
    if (status) prunedDay_ = day;
    ok = status.ok;
  }
  return ok;
}

}  // namespace corvane
