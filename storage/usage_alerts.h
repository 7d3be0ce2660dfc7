// Usage alerts: tell the user once when one program has sent plus received
// more than a budget in the current day (and, when set, the current hour).
//
// An alert fires when a program's count crosses the budget, once per
// program per period. The counts are what the history holds for the period
// (Seed(), read when the window starts) plus what the monitor counted since
// (Observe()); a program that was over the budget already when the history
// was read does not alert again. Which alerts fired in the current periods
// is kept in a small file, so that a restart the same day, after minutes the
// history had not written yet, does not alert twice either. Lines of the
// file of another shape, or of earlier periods, are ignored; a missing file
// means none fired.
//
// Not thread-safe: the window calls it on its own thread. Failing to read or
// write the file is returned; the alerts still work for this run.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/status.h"

namespace corvane {

enum class UsagePeriod { kDay, kHour };

// Bytes in both directions; 0 turns the period's alert off.
struct UsageBudget {
  uint64_t dayBytes = 0;
  uint64_t hourBytes = 0;
};

// One application's bytes in both directions: since the monitor started
// (Observe), or in the period so far (Seed).
struct UsageCount {
  std::string app;   // the application's key
  std::string name;  // what the alert calls it
  uint64_t bytes = 0;
};

struct UsageAlert {
  UsagePeriod period = UsagePeriod::kDay;
  std::string app;
  std::string name;
  uint64_t bytes = 0;  // the program's count in the period when it crossed
};

class UsageAlerts {
 public:
  // `stateFile` keeps the alerts fired; empty keeps nothing.
  explicit UsageAlerts(std::string stateFile);

  void SetBudget(UsageBudget budget) { budget_ = budget; }
  const UsageBudget& budget() const { return budget_; }

  // Reads which alerts fired (kept with the start of their period); call it
  // before the first Seed() or Observe().
  Status Load();
  // The history's counts for the period that began at `start`.
  void Seed(UsagePeriod period, int64_t start, const std::vector<UsageCount>& counts);
  // What the monitor counted so far (`totals`, as for Observe) is in the
  // history already, or not to be counted: Observe() adds only what comes
  // after. For alerts started while the monitor runs.
  void Baseline(const std::vector<UsageCount>& totals);
  // `totals`: each application's bytes since the monitor started; the
  // current day began at `dayStart` and hour at `hourStart` (local time).
  // Appends the alerts to show to `alerts` and keeps them in the file; a
  // failed write is returned, the alerts are appended all the same.
  Status Observe(int64_t dayStart, int64_t hourStart, const std::vector<UsageCount>& totals,
                 std::vector<UsageAlert>& alerts);

 private:
  struct Period {
    int64_t start = -1;
    std::map<std::string, uint64_t> bytes;  // by application
    std::set<std::string> fired;
  };
  Period& Of(UsagePeriod period) { return period == UsagePeriod::kDay ? day_ : hour_; }
  // Moves `period` to the one that began at `start`, forgetting the last.
  void Begin(UsagePeriod period, int64_t start);
  Status Save() const;

  std::string stateFile_;
  UsageBudget budget_;
  Period day_;
  Period hour_;
  // Alerts read from the file, by period kind and start, until their period begins.
  std::map<std::pair<UsagePeriod, int64_t>, std::set<std::string>> loaded_;
  std::map<std::string, uint64_t> seen_;  // by application: bytes since the monitor started
};

// The start of the local day and of the local hour that hold `now`.
int64_t LocalDayStart(int64_t now);
int64_t LocalHourStart(int64_t now);

}  // namespace corvane
