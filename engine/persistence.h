// What the monitor keeps on disk: the traffic log that Save & Clear and the
// midnight step write before they empty the list, and the traffic history
// of bytes by application and minute.
//
// SaveAndClear() first shows every event still queued, then holds the list's
// lock from the copy that is saved to the clear, so no row changes in
// between; the log holds the rows of hidden flows too; each flow gives up what its saved row showed and keeps what was
// counted after, so no byte is lost or saved twice across the clear. MidnightStep() and HistoryStep() run
// on the processing thread; FlushHistory() on the window thread while the
// processing thread does not run. Failures the user must see go to the
// error handler, once per kind until they mend.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/application_traffic.h"
#include "engine/processing_pass.h"
#include "engine/row_filter.h"
#include "engine/traffic_state.h"
#include "platform/clock.h"
#include "platform/status.h"
#include "platform/thread_annotations.h"
#include "storage/history_recorder.h"
#include "storage/history_store.h"
#include "storage/settings.h"

namespace corvane {

// How often the processing thread writes the current minute to the history.
inline constexpr int64_t kHistoryFlushSeconds = 10;

class Persistence {
 public:
  // Writes `rows` (top to bottom) to a new traffic log. A failure's reason
  // is what the user reads ("Can't write to PATH").
  using LogWriter = std::function<Status(const std::vector<RowCells>& rows)>;
  using ErrorHandler = std::function<void(const std::string& message)>;

  Persistence(TrafficState& state, RowFilter& filter, ProcessingPass& pass, const Clock& clock,
              ErrorHandler report)
      : state_(state),
        list_(state.list),
        filter_(filter),
        pass_(pass),
        clock_(clock),
        report_(std::move(report)) {}

  // Without a writer, Save & Clear clears without saving and the midnight
  // step keeps everything. Before Start().
  void SetLogWriter(LogWriter writer) { logWriter_ = std::move(writer); }

  // Shows what is queued, writes the rows to a new log, then empties the
  // list and takes the saved bytes out of the flows and the totals. When
  // the log cannot be written nothing is emptied and the writer's failure
  // is returned. With `skipEmpty`, a list without rows (hidden ones
  // included) writes no log.
  Status SaveAndClear(bool skipEmpty = false) EXCLUDES(list_.mutex());
  // At local midnight: Save & Clear once, no log for a day without rows (a
  // window started in that minute); a failure is reported once and tried
  // again by the next pass in that minute.
  void MidnightStep();
  void MidnightStepAt(int64_t now);

  // See Monitor::EnableHistory.
  Status EnableHistory(const std::string& path, int retentionDays);
  void SetNewApplicationHandler(ApplicationTraffic::NewApplicationHandler handler) {
    newApplicationHandler_ = std::move(handler);
  }
  // Writes the current minute at most every kHistoryFlushSeconds; loads the
  // known applications before the first pass counts.
  void HistoryStep();
  void HistoryStepAt(int64_t now);
  // Writes every minute held: nothing more is counted into them.
  void FlushHistory();

 private:
  TrafficState& state_;
  TrafficList& list_;
  RowFilter& filter_;
  ProcessingPass& pass_;
  const Clock& clock_;
  ErrorHandler report_;
  LogWriter logWriter_;
  bool midnightClearDone_ = false;     // processing thread only
  bool midnightSaveReported_ = false;  // processing thread only

  ApplicationTraffic::NewApplicationHandler newApplicationHandler_;
  std::unique_ptr<HistoryStore> historyStore_;
  std::unique_ptr<HistoryRecorder> historyRecorder_;
  bool knownApplicationsLoaded_ = false;  // processing thread
  int64_t lastHistoryFlush_ = INT64_MIN;  // processing thread
};

}  // namespace corvane
