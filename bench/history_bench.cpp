// The traffic history's two costs that users feel: writing one minute of
// many active flows (done once a minute by the window and corvane-cli
// watch) and a report over a long history.
//
//   build/bench/history_bench [--flows N] [--apps N] [--days N] [--keep DIR]
//
// Builds a history in a temporary folder (or DIR, kept), then prints: the
// time to write one minute of N flows (10,000) as new rows and as a rewrite
// of the same minute, the median of several minutes; the time to fill a
// history of N applications (1,000) over N days (365), each application
// active in one minute a day with two remote addresses in both directions;
// and the time of a report over all of it by application, host, day and
// month. Figures only: nothing is judged here.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/history_report.h"
#include "storage/history_store.h"

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool Check(const HistoryStatus& status) {
  if (!status) std::fprintf(stderr, "history_bench: %s\n", status.reason.c_str());
  return status.ok;
}

}  // namespace

int main(int argc, char** argv) {
  long flows = 10000, apps = 1000, days = 365;
  std::string keep;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--flows"))
      flows = std::atol(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--apps"))
      apps = std::atol(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--days"))
      days = std::atol(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--keep"))
      keep = argv[i + 1];
  }
  std::string folder = keep;
  if (folder.empty()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "history-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return 1;
    folder = pattern;
  }
  const int64_t start = 1764547200;  // 2025-12-01T00:00:00Z

  // One minute of `flows` flows: 200 programs, each remote address its own.
  {
    HistoryStore store;
    if (!Check(store.Open(folder + "/minutes.sqlite"))) return 1;
    std::vector<HistoryRow> rows;
    for (long i = 0; i < flows; ++i) {
      rows.push_back({"/usr/lib/app-" + std::to_string(i % 200) + "/bin/app",
                      IpAddress::V4(htonl(0xc6120000u + static_cast<uint32_t>(i))),
                      "host-" + std::to_string(i) + ".example.test", i % 2 ? 1 : 2,
                      static_cast<uint64_t>(1000 + i)});
    }
    std::vector<double> fresh, rewrite;
    for (int minute = 0; minute < 9; ++minute) {
      auto begun = Clock::now();
      if (!Check(store.WriteMinute(start + minute * 60, rows))) return 1;
      fresh.push_back(Milliseconds(begun));
      begun = Clock::now();
      if (!Check(store.WriteMinute(start + minute * 60, rows))) return 1;
      rewrite.push_back(Milliseconds(begun));
    }
    std::printf("write one minute of %ld flows: %.1f ms new, %.1f ms rewritten (median of 9)\n",
                flows, Median(fresh), Median(rewrite));
  }

  // A year of `apps` applications.
  HistoryStore store;
  if (!Check(store.Open(folder + "/year.sqlite"))) return 1;
  auto begun = Clock::now();
  long rowCount = 0;
  std::vector<HistoryRow> rows;
  for (long day = 0; day < days; ++day) {
    for (int hour = 0; hour < 24; ++hour) {
      rows.clear();
      for (long app = hour; app < apps; app += 24) {
        for (uint32_t remote = 0; remote < 2; ++remote) {
          const IpAddress address =
              IpAddress::V4(htonl(0xc6120000u + static_cast<uint32_t>(app * 2) + remote));
          for (int direction : {1, 2}) {
            rows.push_back({"/usr/bin/app-" + std::to_string(app), address, "", direction,
                            static_cast<uint64_t>(100 + app + day)});
          }
        }
      }
      rowCount += static_cast<long>(rows.size());
      if (!Check(store.WriteMinute(start + day * kSecondsPerDay + hour * 3600, rows))) return 1;
    }
  }
  std::printf("fill %ld days of %ld applications: %ld rows in %.1f s, %.1f MB\n", days, apps,
              rowCount, Milliseconds(begun) / 1000,
              static_cast<double>(std::filesystem::file_size(folder + "/year.sqlite")) / 1e6);
  for (HistoryGrouping grouping : {HistoryGrouping::kApp, HistoryGrouping::kHost,
                                   HistoryGrouping::kDay, HistoryGrouping::kMonth}) {
    std::vector<HistoryTotal> totals;
    begun = Clock::now();
    if (!Check(store.Totals(grouping, start, start + days * kSecondsPerDay, totals))) return 1;
    const double queried = Milliseconds(begun);
    begun = Clock::now();
    const std::string json = FormatHistoryReport(totals, grouping, ReportFormat::kJson, start,
                                                 start + days * kSecondsPerDay);
    std::printf("report by %-6s over %ld days: %.0f ms query + %.1f ms JSON, %zu lines\n",
                GroupingName(grouping), days, queried, Milliseconds(begun), totals.size());
  }
  if (keep.empty()) std::filesystem::remove_all(folder);
  return 0;
}
