// The window thread's cost of keeping the traffic list's view current, and
// the cost of a column-click sort.
//
//   build/bench/list_model_bench
//
// BM_ModelOneSecondOfRecords applies one second's worth of change records
// (10,000, in 50 batches as the queued calls deliver them) to a model of
// 50,000 rows shown in the window's TrafficView, which draws the activity
// marks from the model; /1 also paints the shown view after every batch.
// Its "window_share" counter is that time as a share of the second.
// BM_LiveOneSecondOfRecords feeds the same records from a worker thread at
// their pace through the change sink into a running event loop and reports
// the window thread's CPU time per second (drains, repaints and all).
// BM_SelectionMirrorOneSecondOfRecords is the older way, the marks mirrored
// into Qt's item selection after each batch, for comparison.
// BM_Sort100k sorts 100,000 rows under the list lock, as SortThread does.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QItemSelectionModel>
#include <QTableView>
#include <QEventLoop>
#include <chrono>
#include <random>
#include <thread>
#include <time.h>

#include "engine/row_order.h"
#include "vocabulary/text_format.h"
#include "ui/TrafficModel.h"
#include "ui/TrafficView.h"

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

// A model of kRows rows and one second of records for it, in batches.
constexpr int kRows = 50000;
constexpr int kRecordsPerSecond = 10000;
constexpr int kBatches = 50;

corvane::RowValues SampleValues(std::mt19937& random) {
  return corvane::RowValues{static_cast<uint32_t>(random()), static_cast<uint32_t>(random() % 100000),
                            1709636282, 1709636400 + static_cast<int64_t>(random() % 10)};
}

corvane::RowTexts SampleTexts(std::mt19937& random) {
  const RowCells cells = SampleRow(random);
  return corvane::RowTexts{cells[corvane::kColumnRemoteIp], cells[corvane::kColumnRemoteHost],
                           cells[corvane::kColumnLocalSource]};
}

// Ids handed out so far; every one of them is in the model (no removals).
uint32_t nextId = 0;

ListChange InsertRecord(std::mt19937& random) {
  ListChange insert;
  insert.kind = ListChange::Kind::Insert;
  insert.id = nextId++;
  insert.key.labelId = insert.id;
  insert.texts = SampleTexts(random);
  insert.values = SampleValues(random);
  return insert;
}

void FillModel(TrafficModel& model, std::mt19937& random) {
  nextId = 0;
  std::vector<ListChange> initial;
  for (int i = 0; i < kRows; ++i) initial.push_back(InsertRecord(random));
  model.Apply(std::move(initial));
}

// 60 % new counts, 20 % marks, 17 % unmarks, 3 % new rows.
std::vector<std::vector<ListChange>> OneSecondOfRecords(const TrafficModel&, std::mt19937& random) {
  std::vector<std::vector<ListChange>> batches(kBatches);
  for (int i = 0; i < kRecordsPerSecond; ++i) {
    ListChange change;
    const unsigned kind = random() % 100;
    change.id = static_cast<uint32_t>(random() % nextId);
    if (kind < 60) {
      change.kind = ListChange::Kind::Counts;
      change.values = SampleValues(random);
    } else if (kind < 97) {
      change.kind = ListChange::Kind::Mark;
      change.marked = kind < 80;
    } else {
      change = InsertRecord(random);
    }
    batches[static_cast<size_t>(i % kBatches)].push_back(std::move(change));
  }
  return batches;
}

void SetCounters(benchmark::State& state, const TrafficModel& model) {
  state.counters["rows"] = model.rowCount();
  state.counters["window_share"] = benchmark::Counter(
      static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Fills the model and sizes the view; shows it when `show` is set.
void PrepareView(TrafficModel& model, QTableView& view, std::mt19937& random, bool show) {
  view.resize(900, 500);
  FillModel(model, random);
  if (show) {
    view.show();
    QCoreApplication::processEvents();
  }
}

// Applies one second of records per iteration, batch by batch, calling
// afterBatch() after each, and paints after each when `paint` is set.
template <typename AfterBatch>
void ApplySecondsOfRecords(benchmark::State& state, TrafficModel& model, std::mt19937& random,
                           bool paint, AfterBatch afterBatch) {
  for (auto _ : state) {
    state.PauseTiming();
    auto batches = OneSecondOfRecords(model, random);
    state.ResumeTiming();
    for (auto& batch : batches) {
      model.Apply(std::move(batch));
      afterBatch();
      if (paint) QCoreApplication::processEvents();
    }
  }
  SetCounters(state, model);
  state.SetLabel(paint ? "shown, painted" : "hidden");
}

// The window's path: the records go into the model, whose marks the view
// draws; Arg 1 also shows the view and paints after every batch; Arg 2 is
// Arg 0 with the rows sorted by "DL", so that new rows find their place.
void BM_ModelOneSecondOfRecords(benchmark::State& state) {
  const bool paint = state.range(0) == 1;
  std::mt19937 random(1);
  TrafficModel model;
  TrafficView view(&model);
  PrepareView(model, view, random, paint);
  if (state.range(0) == 2) model.SortBy(corvane::kColumnDownload, corvane::SortDirection::kGreatestFirst);
  ApplySecondsOfRecords(state, model, random, paint, [] {});
  if (state.range(0) == 2) state.SetLabel("hidden, sorted by DL");
}
BENCHMARK(BM_ModelOneSecondOfRecords)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole way in the running window: a worker thread hands the batches to
// the model's change sink 20 ms apart, as lock holds of the core list do,
// while the window thread runs its event loop, drains them (at most every
// TrafficModel::kDrainIntervalMs) and paints the shown view. window_share
// is the window thread's CPU time per second of records.
double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void BM_LiveOneSecondOfRecords(benchmark::State& state) {
  std::mt19937 random(1);
  TrafficModel model;
  TrafficView view(&model);
  PrepareView(model, view, random, true);
  const corvane::TrafficList::ChangeSink sink = model.ChangeSink();
  double windowSeconds = 0;
  for (auto _ : state) {
    auto batches = OneSecondOfRecords(model, random);
    const double cpuBefore = ThreadCpuSeconds();
    QEventLoop loop;
    std::thread worker([&] {
      const auto start = std::chrono::steady_clock::now();
      for (size_t i = 0; i < batches.size(); ++i) {
        sink(std::move(batches[i]));
        std::this_thread::sleep_until(start + std::chrono::milliseconds(20) * (i + 1));
      }
      QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    model.ApplyPending();
    QCoreApplication::processEvents();
    windowSeconds += ThreadCpuSeconds() - cpuBefore;
  }
  state.counters["rows"] = model.rowCount();
  state.counters["window_share"] = windowSeconds / static_cast<double>(state.iterations());
  state.SetLabel("window thread CPU per second, shown");
}
BENCHMARK(BM_LiveOneSecondOfRecords)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// For comparison: the same records mirrored into a plain QTableView's item
// selection after every batch, as the window once kept its marks.
void BM_SelectionMirrorOneSecondOfRecords(benchmark::State& state) {
  const bool paint = state.range(0) != 0;
  std::mt19937 random(1);
  TrafficModel model;
  QTableView view;
  view.setModel(&model);
  PrepareView(model, view, random, paint);
  ApplySecondsOfRecords(state, model, random, paint, [&] {
    QItemSelection selection;
    int row = 0;
    std::vector<int> active;
    for (int r = 0; r < model.rowCount(); ++r) {
      if (model.IsActive(r)) active.push_back(r);
    }
    for (int marked : active) {
      if (!selection.isEmpty() && marked == row + 1) {
        selection.back() = QItemSelectionRange(selection.back().topLeft(),
                                               model.index(marked, corvane::kColumnCount - 1));
      } else {
        selection.append(QItemSelectionRange(model.index(marked, 0),
                                             model.index(marked, corvane::kColumnCount - 1)));
      }
      row = marked;
    }
    view.selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
  });
}
BENCHMARK(BM_SelectionMirrorOneSecondOfRecords)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

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
