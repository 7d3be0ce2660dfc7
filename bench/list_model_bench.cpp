// The window thread's cost of keeping the traffic list's view current, and
// the cost of a column-click sort.
//
//   build/bench/list_model_bench
//
// BM_ModelOneSecondOfRecords applies one second's worth of change records
// (10,000, in 50 batches as the queued calls deliver them) to a model of
// 50,000 rows attached to a table view, and mirrors the activity marks into
// the view's selection after each batch, as the window does. Its
// "window_share" counter is that time as a share of the second.
// BM_Sort100k sorts 100,000 rows under the list lock, as SortThread does.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QItemSelectionModel>
#include <QTableView>
#include <random>

#include "engine/row_order.h"
#include "engine/text_format.h"
#include "ui/TrafficModel.h"

namespace {

using corvane::ListChange;
using corvane::RowCells;

RowCells SampleRow(std::mt19937& random) {
  auto octet = [&] { return std::to_string(random() % 256); };
  std::string address = octet() + "." + octet() + "." + octet() + "." + octet();
  return RowCells{address,
                  address,
                  corvane::FormatByteCount(static_cast<uint32_t>(random())),
                  corvane::FormatByteCount(static_cast<uint32_t>(random() % 100000)),
                  corvane::FormatByteCount(static_cast<uint32_t>(random())),
                  random() % 2 ? "firefox-esr" : "UDP",
                  "2024-03-05 11:58:02",
                  "2024-03-05 12:00:0" + std::to_string(random() % 10)};
}

void BM_ModelOneSecondOfRecords(benchmark::State& state) {
  constexpr int kRows = 50000;
  constexpr int kRecordsPerSecond = 10000;
  constexpr int kBatches = 50;
  std::mt19937 random(1);
  TrafficModel model;
  QTableView view;
  view.setModel(&model);
  view.resize(900, 500);
  std::vector<ListChange> initial;
  for (int i = 0; i < kRows; ++i) {
    ListChange insert;
    insert.kind = ListChange::Kind::Insert;
    insert.cells = SampleRow(random);
    initial.push_back(std::move(insert));
  }
  model.Apply(std::move(initial));

  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::vector<ListChange>> batches(kBatches);
    for (int i = 0; i < kRecordsPerSecond; ++i) {
      ListChange change;
      const int count = model.rowCount() + static_cast<int>(batches[i % kBatches].size());
      const unsigned kind = random() % 100;
      change.row = static_cast<int>(random() % static_cast<unsigned>(model.rowCount()));
      if (kind < 60) {
        change.kind = ListChange::Kind::SetCell;
        change.column = 2 + static_cast<int>(random() % 3);
        change.text = corvane::FormatByteCount(static_cast<uint32_t>(random()));
      } else if (kind < 80) {
        change.kind = ListChange::Kind::Select;
      } else if (kind < 97) {
        change.kind = ListChange::Kind::Deselect;
      } else {
        change.kind = ListChange::Kind::Insert;
        change.row = 0;
        change.cells = SampleRow(random);
      }
      (void)count;
      batches[static_cast<size_t>(i % kBatches)].push_back(std::move(change));
    }
    state.ResumeTiming();
    for (auto& batch : batches) {
      model.Apply(std::move(batch));
      view.selectionModel()->select(model.SelectedRanges(), QItemSelectionModel::ClearAndSelect);
    }
  }
  state.counters["rows"] = model.rowCount();
  state.counters["window_share"] = benchmark::Counter(
      static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ModelOneSecondOfRecords)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Sort100k(benchmark::State& state) {
  const int column = static_cast<int>(state.range(0));
  std::mt19937 random(2);
  std::vector<RowCells> rows;
  for (int i = 0; i < 100000; ++i) rows.push_back(SampleRow(random));
  for (auto _ : state) {
    state.PauseTiming();
    corvane::TrafficList list;
    {
      corvane::TrafficList::Lock lock(list);
      for (const RowCells& row : rows) list.InsertTop(row, 0);
    }
    state.ResumeTiming();
    corvane::TrafficList::Lock lock(list);
    corvane::SortTrafficList(list, column);
  }
  state.SetLabel(column == corvane::kColumnDownload ? "DL" : "Remote IP");
}
BENCHMARK(BM_Sort100k)->Arg(corvane::kColumnDownload)->Arg(corvane::kColumnRemoteIp)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
