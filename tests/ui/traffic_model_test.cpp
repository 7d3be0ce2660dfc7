#include "ui/TrafficModel.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QTest>
#include <random>

#include "engine/row_order.h"

namespace {

using corvane::RowCells;
using corvane::TrafficList;

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

  void ExpectModelEqualsCore() {
    TrafficList::Lock lock(list);
    ASSERT_EQ(model.rowCount(), list.Count());
    for (int row = 0; row < list.Count(); ++row) {
      EXPECT_EQ(model.Cells(row), list.Cells(row)) << "row " << row;
      EXPECT_EQ(model.IsSelected(row), list.IsSelected(row)) << "row " << row;
    }
  }

  TrafficList list;
  TrafficModel model;
};

TEST_F(TrafficModelTest, RandomChangesAppliedInOrderGiveTheCoreListsRows) {
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
            list.InsertTop(Cells(next++), 0);
            list.SetSelected(0, true);
            break;
          case 2:
            if (count) list.SetCell(static_cast<int>(random() % count), corvane::kColumnDownload,
                                    std::to_string(random() % 5000) + " B");
            break;
          case 3:
            if (count) list.SetSelected(static_cast<int>(random() % count), random() % 2);
            break;
          case 4:
            if (count) list.Remove(static_cast<int>(random() % count));
            break;
          case 5:
            corvane::SortTrafficList(list, static_cast<int>(random() % corvane::kColumnCount));
            break;
        }
      }
      if (round == 20) list.Clear();
    }
    // Sometimes several locks' records wait for one posted call.
    if (random() % 3) {
      model.ApplyPending();
      ExpectModelEqualsCore();
    }
  }
  model.ApplyPending();
  ExpectModelEqualsCore();
}

TEST_F(TrafficModelTest, RecordsReachTheModelOnlyThroughTheWindowThreadsEventLoop) {
  {
    TrafficList::Lock lock(list);
    list.InsertTop(Cells(1), 0);
  }
  EXPECT_EQ(model.rowCount(), 0) << "records must be queued, not applied on the worker";
  QCoreApplication::processEvents();
  EXPECT_EQ(model.rowCount(), 1);
}

// Records that come right after a drain wait for the next one, on a timer;
// they must still arrive, in order.
TEST_F(TrafficModelTest, RecordsSoonAfterADrainAreAppliedByTheNextDrain) {
  {
    TrafficList::Lock lock(list);
    list.InsertTop(Cells(1), 0);
  }
  QCoreApplication::processEvents();
  ASSERT_EQ(model.rowCount(), 1);
  for (int i = 2; i <= 4; ++i) {
    TrafficList::Lock lock(list);
    list.InsertTop(Cells(i), 0);
  }
  QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 4, 5000);
  ExpectModelEqualsCore();
}

TEST_F(TrafficModelTest, ReorderMovesTheSelectionFlagsWithTheRows) {
  {
    TrafficList::Lock lock(list);
    list.InsertTop(RowCells{"1.1.1.1", "", "1 B", "", "", "", "", ""}, 0);
    list.InsertTop(RowCells{"2.2.2.2", "", "3 B", "", "", "", "", ""}, 0);
    list.InsertTop(RowCells{"3.3.3.3", "", "2 B", "", "", "", "", ""}, 0);
    list.SetSelected(2, true);  // 1.1.1.1
  }
  model.ApplyPending();
  {
    TrafficList::Lock lock(list);
    corvane::SortTrafficList(list, corvane::kColumnRemoteIp);
  }
  model.ApplyPending();
  EXPECT_EQ(model.Cells(2)[0], "1.1.1.1");
  EXPECT_TRUE(model.IsSelected(2));
  EXPECT_FALSE(model.IsSelected(0));
  EXPECT_EQ(model.MarkedRows(), std::vector<int>{2});
  EXPECT_TRUE(model.data(model.index(2, corvane::kColumnLocalSource), TrafficModel::kMarkRole).toBool());
}

// The user's provisional range (a shift-click) is given back when the next
// shift-click replaces it; rows the core marked meanwhile keep the core's
// flag, and rows entering at the top do not shift the range onto others.
TEST_F(TrafficModelTest, RevertingAProvisionalRangeKeepsTheCoresMarksAndFollowsInsertedRows) {
  {
    TrafficList::Lock lock(list);
    for (int i = 0; i < 6; ++i) list.InsertTop(Cells(i), 0);  // rows: 5 4 3 2 1 0
    list.SetSelected(4, true);                                // "1"
  }
  model.ApplyPending();
  std::vector<TrafficModel::MarkChange> changed;
  model.MarkRows(1, 3, TrafficModel::MarkOp::Set, changed);  // "4" "3" "2"
  EXPECT_EQ(changed.size(), 3u);
  {
    TrafficList::Lock lock(list);
    list.InsertTop(Cells(9), 0);  // 9 5 4 3 2 1 0
    list.SetSelected(3, false);   // "3": the core unmarks it
    list.SetSelected(3, true);    // and marks it again
  }
  model.ApplyPending();
  changed.clear();
  model.RevertProvisional(changed);
  std::vector<int> rows;
  for (const auto& change : changed) {
    EXPECT_FALSE(change.marked);
    rows.push_back(change.row);
  }
  EXPECT_EQ(rows, (std::vector<int>{2, 4})) << "\"4\" and \"2\" go back, \"3\" stays the core's";
  EXPECT_EQ(model.MarkedRows(), (std::vector<int>{3, 5}));
  changed.clear();
  model.RevertProvisional(changed);
  EXPECT_TRUE(changed.empty()) << "a range is given back once";
}

TEST_F(TrafficModelTest, ABatchOfCoreMarksRepaintsOnceOverTheRowsItTouched) {
  {
    TrafficList::Lock lock(list);
    for (int i = 0; i < 10; ++i) list.InsertTop(Cells(i), 0);
  }
  model.ApplyPending();
  std::vector<std::pair<int, int>> spans;
  QObject::connect(&model, &QAbstractItemModel::dataChanged,
                   [&](const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles) {
                     if (roles.contains(TrafficModel::kMarkRole)) {
                       spans.emplace_back(topLeft.row(), bottomRight.row());
                       EXPECT_EQ(topLeft.column(), 0);
                       EXPECT_EQ(bottomRight.column(), TrafficModel::kColumnSpeed);
                     }
                   });
  {
    TrafficList::Lock lock(list);
    list.SetSelected(2, true);
    list.SetSelected(6, true);
    list.InsertTop(Cells(20), 0);  // the marked rows are now 3 and 7
    list.Remove(9);
  }
  model.ApplyPending();
  ASSERT_EQ(spans.size(), 1u);
  EXPECT_EQ(spans[0], std::make_pair(3, 7));
}

// The live speed column: bytes per second over the last three ticks, from
// the core's Counts records, which come even when a rounded text stays.
TEST(TrafficModelSpeedTest, SpeedFollowsTheCountsOverTheLastThreeTicks) {
  TrafficModel model;
  ASSERT_EQ(model.columnCount(), corvane::kColumnCount + 1);
  EXPECT_EQ(model.headerData(TrafficModel::kColumnSpeed, Qt::Horizontal).toString(), "Speed");
  auto change = [](corvane::ListChange::Kind kind, uint64_t bytes) {
    corvane::ListChange c;
    c.kind = kind;
    c.bytes = bytes;
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
