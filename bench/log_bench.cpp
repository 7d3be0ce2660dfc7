// Saving a traffic log of 100,000 rows and reading it back.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "storage/traffic_log.h"

namespace corvane {
namespace {

constexpr int kRows = 100000;

std::vector<RowCells> MakeRows() {
  std::vector<RowCells> rows;
  rows.reserve(kRows);
  char address[32];
  for (int i = 0; i < kRows; ++i) {
    std::snprintf(address, sizeof address, "10.%d.%d.%d", i >> 16 & 255, i >> 8 & 255, i & 255);
    rows.push_back(RowCells{address, std::string("host-") + address + ".example.org", "1.50 KB",
                            "200 B", "1.70 KB", "firefox-esr (PID 1234)", "2005-03-01 09:05:07",
                            "2005-03-01 09:06:00"});
  }
  return rows;
}

std::string TempDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX").string();
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

void BM_SaveTrafficLog(benchmark::State& state) {
  std::vector<RowCells> rows = MakeRows();
  std::string directory = TempDirectory();
  int64_t moment = 1'100'000'000;
  for (auto _ : state) {
    std::string path;
    if (!SaveTrafficLog(directory, rows, moment++, &path)) {
      state.SkipWithError("cannot write the log");
      break;
    }
    state.PauseTiming();
    std::filesystem::remove(path);
    state.ResumeTiming();
  }
  std::filesystem::remove_all(directory);
  state.counters["rows"] = kRows;
}
BENCHMARK(BM_SaveTrafficLog)->Unit(benchmark::kMillisecond);

void BM_ReadTrafficLog(benchmark::State& state) {
  std::string directory = TempDirectory();
  std::string path;
  if (!SaveTrafficLog(directory, MakeRows(), 1'100'000'000, &path)) {
    state.SkipWithError("cannot write the log");
    return;
  }
  for (auto _ : state) {
    auto rows = ReadTrafficLog(path);
    if (!rows || rows->size() != static_cast<size_t>(kRows)) {
      state.SkipWithError("log read back wrong");
      break;
    }
    benchmark::DoNotOptimize(rows);
  }
  std::filesystem::remove_all(directory);
  state.counters["rows"] = kRows;
}
BENCHMARK(BM_ReadTrafficLog)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvane

BENCHMARK_MAIN();
