#include "tools/commands.h"

#include <cstdio>

#include "storage/history_report.h"
#include "storage/history_store.h"

namespace corvane {

// Reads the history without changing it; a missing or damaged database is
// reported with its path.
int RunReport(const Options& options) {
  HistoryStore store;
  HistoryStatus status = store.Open(options.folders.history, HistoryStore::Mode::kReadOnly);
  std::vector<HistoryTotal> totals;
  if (status) {
    status = store.Totals(options.grouping, options.since.value_or(INT64_MIN),
                          options.until.value_or(INT64_MAX), totals);
  }
  if (!status) {
    std::fprintf(stderr, "corvane-cli: %s\n", status.reason.c_str());
    return 1;
  }
  const std::string out =
      FormatHistoryReport(totals, options.grouping, options.format, options.since, options.until);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

}  // namespace corvane
