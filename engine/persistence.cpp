#include "engine/persistence.h"

#include <set>
#include <utility>

namespace corvane {

Status Persistence::EnableHistory(const std::string& path, int retentionDays) {
  auto store = std::make_unique<HistoryStore>();
  if (Status status = store->Open(path); !status) return status;
  historyStore_ = std::move(store);
  historyRecorder_ = std::make_unique<HistoryRecorder>(
      *historyStore_, [this](const std::string& reason) { report_(reason); }, retentionDays);
  state_.applications.SetRecorder(historyRecorder_.get());
  return Status::Ok();
}

void Persistence::HistoryStep() {
  if (!knownApplicationsLoaded_) {
    knownApplicationsLoaded_ = true;
    if (newApplicationHandler_) {
      // The applications of the history are not news; a history that cannot
      // be read makes every application news once.
      std::set<std::string> known;
      std::vector<HistoryTotal> totals;
      if (historyStore_ &&
          historyStore_->Totals(HistoryGrouping::kApp, INT64_MIN, INT64_MAX, totals)) {
        for (HistoryTotal& total : totals) known.insert(std::move(total.key));
      }
      state_.applications.SetNewApplicationHandler(newApplicationHandler_, std::move(known));
    }
  }
  if (!historyRecorder_) return;
  const int64_t now = clock_.Now();
  if (lastHistoryFlush_ != INT64_MIN && now - lastHistoryFlush_ < kHistoryFlushSeconds &&
      now >= lastHistoryFlush_) {
    return;
  }
  lastHistoryFlush_ = now;
  // Count() and the flushes run on this thread only: the disk write holds
  // no lock that the window waits for.
  (void)historyRecorder_->Flush(now);
}

void Persistence::FlushHistory() {
  if (!historyRecorder_) return;
  // Every minute held is complete: nothing more is counted into it.
  (void)historyRecorder_->Flush(clock_.Now() + HistoryRecorder::kLateSeconds + 60);
}

Status Persistence::SaveAndClear() {
  Status saved;
  pass_.ShowAllThen([&] {
    TrafficList::Lock lock(list_);
    if (logWriter_) {
      if (!(saved = logWriter_(list_.Rows()))) return;
    }
    std::vector<FlowKey> saved;
    state_.flows.ClearShown(
        [&](const FlowKey& flow) REQUIRES(list_.mutex()) -> std::optional<FlowCounts> {
          const int row = list_.FindRow(RowKey{flow.Address(), 0, static_cast<uint32_t>(flow.Word())});
          if (row < 0) return std::nullopt;
          const RowValues& shown = list_.Values(row);
          return FlowCounts{shown.uploadBytes, shown.downloadBytes};
        },
        saved);
    // The history has counted what the saved rows showed; what the flows
    // keep is still to be counted.
    state_.applications.ForgetFlows(saved);
    list_.Clear();
    filter_.ForgetHiddenRows(list_);
  });
  return saved;
}

void Persistence::MidnightStep() {
  LocalTime local = ToLocalTime(clock_.Now());
  if (local.hour != 0 || local.minute != 0) {
    midnightClearDone_ = false;
    midnightSaveReported_ = false;
    return;
  }
  // Without a log (a replay without a log directory) the day has nowhere to
  // go, so it is kept and the counts run on across midnight.
  if (midnightClearDone_ || !logWriter_) return;
  if (Status saved = SaveAndClear(); !saved) {
    // Nothing was cleared; the next pass in this minute tries again. The
    // user hears of it once.
    if (!midnightSaveReported_) {
      midnightSaveReported_ = true;
      report_(saved.reason);
    }
    return;
  }
  midnightClearDone_ = true;
}

}  // namespace corvane
