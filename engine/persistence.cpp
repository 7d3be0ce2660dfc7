#include "engine/persistence.h"

#include <iterator>
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

void Persistence::HistoryStep() { HistoryStepAt(clock_.Now()); }

void Persistence::HistoryStepAt(int64_t now) {
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

Status Persistence::SaveAndClear(bool skipEmpty) {
  Status written;
  pass_.ShowAllThen([&] {
    TrafficList::Lock lock(list_);
    if (logWriter_) {
      // The flows the filters hide are part of the day too: their rows
      // follow the shown ones, as plain rows (a log has no mark for them).
      std::vector<RowCells> rows = list_.Rows();
      std::vector<RowCells> hidden = filter_.HiddenRows(list_);
      rows.insert(rows.end(), std::make_move_iterator(hidden.begin()),
                  std::make_move_iterator(hidden.end()));
      if (rows.empty() && skipEmpty) return;
      if (!(written = logWriter_(rows))) return;
    }
    std::vector<FlowKey> saved;  // the flow table rebases what it hands the history
    state_.flows.ClearShown(
        [&](const FlowKey& flow) REQUIRES(list_.mutex()) -> std::optional<FlowCounts> {
          const RowKey key{flow.Address(), 0, static_cast<uint32_t>(flow.Word())};
          const RowValues* shown = nullptr;
          if (const int row = list_.FindRow(key); row >= 0) {
            shown = &list_.Values(row);
          } else {
            shown = filter_.HiddenValues(list_, key);
          }
          if (!shown) return std::nullopt;
          return FlowCounts{shown->uploadBytes, shown->downloadBytes};
        },
        saved);
    list_.Clear();
    filter_.ForgetHiddenRows(list_);
  });
  list_.Publish();
  return written;
}

void Persistence::MidnightStep() { MidnightStepAt(clock_.Now()); }

void Persistence::MidnightStepAt(int64_t now) {
  LocalTime local = ToLocalTime(now);
  if (local.hour != 0 || local.minute != 0) {
    midnightClearDone_ = false;
    midnightSaveReported_ = false;
    return;
  }
  // Without a log (a replay without a log directory) the day has nowhere to
  // go, so it is kept and the counts run on across midnight.
  if (midnightClearDone_ || !logWriter_) return;
  if (Status saved = SaveAndClear(true); !saved) {
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
