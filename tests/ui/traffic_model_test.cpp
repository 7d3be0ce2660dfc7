#include "ui/TrafficModel.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEnterEvent>
#include <QTest>
#include <random>

#include "engine/row_order.h"
#include "ui/TrafficView.h"

namespace {

using corvane::RowCells;
using corvane::RowKey;
using corvane::TrafficList;

RowKey KeyOf(int n) { return RowKey{corvane::IpAddress::V4(0x0a000000u + static_cast<uint32_t>(n)), 0, 1}; }

RowCells Cells(int n) {
  std::string id = std::to_string(n);
  return RowCells{"10.0.0." + id, "host" + id, std::to_string(n * 7 % 1000) + " B", "0 B",
                  std::to_string(n * 7 % 1000) + " B", "UDP", "2024-01-01 10:00:00",
                  "2024-01-01 10:00:0" + std::to_string(n % 10)};
}

class TrafficModelTest : public ::testing::Test {
 protected:
  TrafficModelTest() { list.SetChangeSink(model.ChangeSink()); }
  ~TrafficModelTest() override { list.SetChangeSink(nullptr); }

  void Insert(int n) NO_THREAD_SAFETY_ANALYSIS {
    list.InsertTop(KeyOf(n), Cells(n), corvane::ValuesOfCells(Cells(n)));
  }
  void Publish() {
    list.Publish();
    model.ApplyPending();
  }
  // Every row of the core list is a row of the model, found by its id, with
  // the same texts and tint (the model keeps an order of its own).
  void ExpectModelHoldsTheCoresRows() {
    TrafficList::ReadLock lock(list);
    ASSERT_EQ(model.rowCount(), list.Count());
    for (int row = 0; row < list.Count(); ++row) {
      const int shown = model.RowOfId(list.Id(row));
      ASSERT_GE(shown, 0) << "row " << row;
      EXPECT_EQ(model.Key(shown), list.Key(row)) << "row " << row;
      EXPECT_EQ(model.Cells(shown), list.Cells(row)) << "row " << row;
      EXPECT_EQ(model.IsActive(shown), list.IsSelected(row)) << "row " << row;
    }
  }
  std::vector<std::string> Addresses() const {
    std::vector<std::string> shown;
    for (int row = 0; row < model.rowCount(); ++row) shown.push_back(model.Cells(row)[0]);
    return shown;
  }

  TrafficList list;
  TrafficModel model;
};

// Ids are given again after removals; a model keyed by id must still hold
// each flow's own row through inserts, removals, sorts and clears.
TEST_F(TrafficModelTest, RowsKeepTheirIdentityThroughInsertsRemovalsAndSorts) {
  std::mt19937 random(7);
  int next = 0;
  for (int round = 0; round < 40; ++round) {
    {
      TrafficList::Lock lock(list);
      for (int step = 0; step < 25; ++step) {
        const int count = list.Count();
        switch (random() % 6) {
          case 0:
          case 1:
            Insert(next++);
            list.SetSelected(0, true);
            break;
          case 2:
            if (count) list.SetCounts(static_cast<int>(random() % count), random() % 5000, 7, 1000);
            break;
          case 3:
            if (count) list.SetSelected(static_cast<int>(random() % count), random() % 2);
            break;
          case 4:
            if (count) list.Remove(static_cast<int>(random() % count));
            break;
          case 5:
            if (count) list.SetCell(static_cast<int>(random() % count), corvane::kColumnRemoteHost,
                                    "renamed" + std::to_string(step));
            break;
        }
      }
      if (round == 20) list.Clear();
    }
    if (round % 9 == 0) model.SortBy(static_cast<int>(random() % corvane::kColumnCount),
                                     corvane::SortDirection::kSmallestFirst);
    // Sometimes several holds' records wait for one posted call.
    if (random() % 3) {
      Publish();
      ExpectModelHoldsTheCoresRows();
    }
  }
  Publish();
  ExpectModelHoldsTheCoresRows();
}

TEST_F(TrafficModelTest, RecordsReachTheModelOnlyThroughTheWindowThreadsEventLoop) {
  {
    TrafficList::Lock lock(list);
    Insert(1);
  }
  list.Publish();
  EXPECT_EQ(model.rowCount(), 0) << "records must be queued, not applied on the worker";
  QCoreApplication::processEvents();
  EXPECT_EQ(model.rowCount(), 1);
  // Records that come right after a drain wait for the next one, on a
  // timer; they must still arrive, in order.
  for (int i = 2; i <= 4; ++i) {
    {
      TrafficList::Lock lock(list);
      Insert(i);
    }
    list.Publish();
  }
  QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 4, 5000);
  ExpectModelHoldsTheCoresRows();
}

TEST_F(TrafficModelTest, NewRowsTakeTheirPlaceByTheSortAndTheTintStaysApartFromTheChoice) {
  {
    TrafficList::Lock lock(list);
    list.InsertTop(KeyOf(1), RowCells{"1.1.1.1", "", "", "", "", "", "", ""}, {1, 0, 0, 0});
    list.InsertTop(KeyOf(2), RowCells{"2.2.2.2", "", "", "", "", "", "", ""}, {3, 0, 0, 0});
  }
  Publish();
  model.SortBy(corvane::kColumnDownload, corvane::SortDirection::kGreatestFirst);
  EXPECT_EQ(Addresses(), (std::vector<std::string>{"2.2.2.2", "1.1.1.1"}));
  std::vector<TrafficModel::MarkChange> changed;
  model.MarkRows(1, 1, TrafficModel::MarkOp::Set, changed);  // 1.1.1.1 chosen
  {
    TrafficList::Lock lock(list);
    list.InsertTop(KeyOf(3), RowCells{"3.3.3.3", "", "", "", "", "", "", ""}, {2, 0, 0, 0});
    list.SetSelected(0, true);  // tinted
    list.SetSelected(1, true);  // 2.2.2.2 tinted
  }
  Publish();
  EXPECT_EQ(Addresses(), (std::vector<std::string>{"2.2.2.2", "3.3.3.3", "1.1.1.1"}));
  EXPECT_EQ(model.ChosenRows(), std::vector<int>{2});
  EXPECT_TRUE(model.IsActive(0));
  EXPECT_TRUE(model.IsActive(1));
  EXPECT_FALSE(model.data(model.index(0, 0), TrafficModel::kChosenRole).toBool());
  EXPECT_TRUE(model.data(model.index(2, 0), TrafficModel::kChosenRole).toBool());
}

// While the pointer rests on the rows nothing moves under it: new rows wait
// at the bottom and go to their place when the pointer leaves.
TEST_F(TrafficModelTest, RowUnderThePointerKeepsItsPlaceWhileNewRowsArrive) {
  TrafficView view(&model);
  view.resize(400, 300);
  {
    TrafficList::Lock lock(list);
    for (int i = 0; i < 5; ++i) Insert(i);
  }
  Publish();
  const std::vector<std::string> before = Addresses();
  QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), QPointF(10, 10));
  QCoreApplication::sendEvent(view.viewport(), &enter);
  {
    TrafficList::Lock lock(list);
    Insert(7);
    Insert(8);
  }
  Publish();
  std::vector<std::string> shown = Addresses();
  ASSERT_EQ(shown.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(shown.begin(), shown.begin() + 5), before);
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(view.viewport(), &leave);
  shown = Addresses();
  EXPECT_EQ(shown[0], "10.0.0.8");
  EXPECT_EQ(shown[1], "10.0.0.7");
  EXPECT_EQ(std::vector<std::string>(shown.begin() + 2, shown.end()), before);
}

// The live speed column: bytes per second over the last three ticks, from
// the core's counts.
TEST(TrafficModelSpeedTest, SpeedFollowsTheCountsOverTheLastThreeTicks) {
  TrafficModel model;
  ASSERT_EQ(model.columnCount(), corvane::kColumnCount + 1);
  EXPECT_EQ(model.headerData(TrafficModel::kColumnSpeed, Qt::Horizontal).toString(), "Speed");
  auto change = [](corvane::ListChange::Kind kind, uint64_t bytes) {
    corvane::ListChange c;
    c.kind = kind;
    c.id = 3;
    c.values.downloadBytes = bytes;
    return c;
  };
  std::vector<corvane::ListChange> insert;
  insert.push_back(change(corvane::ListChange::Kind::Insert, 1000));
  model.Apply(std::move(insert));
  auto shown = [&] { return model.data(model.index(0, TrafficModel::kColumnSpeed)).toString(); };
  model.TickSpeeds();
  EXPECT_EQ(shown(), QString()) << "the bytes a row starts with are no speed";
  std::vector<corvane::ListChange> counts;
  counts.push_back(change(corvane::ListChange::Kind::Counts, 4000));
  model.Apply(std::move(counts));
  model.TickSpeeds();
  EXPECT_EQ(model.Speed(0), 1000u);
  EXPECT_EQ(shown(), QStringLiteral("1000 B/s"));
  for (int i = 0; i < 3; ++i) model.TickSpeeds();
  EXPECT_EQ(model.Speed(0), 0u) << "three quiet ticks later the row stands still";
}

}  // namespace
