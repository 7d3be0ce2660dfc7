// The traffic list's indices and the change records that mirror it.
#include "engine/traffic_list.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace corvane {
namespace {

RowCells MakeRow(const std::string& ip, const std::string& host, const std::string& source) {
  return RowCells{ip, host, "0 B", "0 B", "0 B", source, "", ""};
}

RowTexts MakeTexts(const std::string& ip, const std::string& host, const std::string& source) {
  return RowTexts{ip, host, source};
}

std::string KeyText(const RowKey& key) {
  return FormatIp(key.remoteAddress) + "/" + std::to_string(key.hostId) + "/" +
         std::to_string(key.labelId);
}

// Applies change records the way the window's model does: rows by id, in no
// order of the list's own.
struct Replica {
  struct Row {
    RowTexts texts;
    RowValues values;
    bool selected = false;
  };
  std::map<uint32_t, Row> rows;
  void Apply(const std::vector<ListChange>& changes) {
    for (const ListChange& c : changes) {
      switch (c.kind) {
        case ListChange::Kind::Insert:
          ASSERT_FALSE(rows.contains(c.id)) << "an id given twice";
          rows[c.id] = Row{c.texts, c.values, false};
          break;
        case ListChange::Kind::Text: {
          ASSERT_TRUE(rows.contains(c.id));
          std::string* text = const_cast<std::string*>(TextOfColumn(rows[c.id].texts, c.column));
          ASSERT_NE(text, nullptr);
          *text = c.text;
          break;
        }
        case ListChange::Kind::Counts:
          ASSERT_TRUE(rows.contains(c.id));
          rows[c.id].values = c.values;
          break;
        case ListChange::Kind::Mark:
          ASSERT_TRUE(rows.contains(c.id));
          rows[c.id].selected = c.marked;
          break;
        case ListChange::Kind::Remove: rows.erase(c.id); break;
        case ListChange::Kind::Clear: rows.clear(); break;
      }
    }
  }
  // The list's rows, each found by its id.
  void ExpectSameAs(const TrafficList& list) const NO_THREAD_SAFETY_ANALYSIS {
    ASSERT_EQ(rows.size(), static_cast<size_t>(list.Count()));
    for (int i = 0; i < list.Count(); ++i) {
      auto it = rows.find(list.Id(i));
      ASSERT_NE(it, rows.end()) << "row " << i;
      EXPECT_EQ(CellsOf(it->second.texts, it->second.values), list.Cells(i)) << "row " << i;
      EXPECT_EQ(it->second.selected, list.IsSelected(i)) << "row " << i;
    }
  }
};

TEST(TrafficListTest, RowsAreFoundByTheirFlowWhateverTheirTextsSay) {
  // A proxy row showing the proxy's address and an address row of that
  // address with the same local source are two flows.
  TrafficList list;
  TrafficList::Lock lock(list);
  const RowKey address{IpAddress::V4(0x0100000a), 0, 7};
  const RowKey proxy{IpAddress{}, 1, 7};
  const RowKey otherSource{IpAddress::V4(0x0100000a), 0, 8};
  list.InsertTop(address, MakeTexts("10.0.0.1", "10.0.0.1", "curl:1"), RowValues{});
  list.InsertTop(proxy, MakeTexts("10.0.0.1", "example.org", "curl:1"), RowValues{});
  list.InsertTop(otherSource, MakeTexts("10.0.0.1", "10.0.0.1", "wget:2"), RowValues{});
  EXPECT_EQ(list.FindRow(address), 2);
  EXPECT_EQ(list.FindRow(proxy), 1);
  EXPECT_EQ(list.FindRow(RowKey{IpAddress::V4(0x0100000a), 0, 9}), -1);
  list.SetCell(2, kColumnRemoteHost, "renamed");
  list.Remove(0);
  EXPECT_EQ(list.FindRow(address), 1);
  list.Reorder({1, 0});
  EXPECT_EQ(list.FindRow(address), 0);
  EXPECT_EQ(list.FindRow(proxy), 1);
  EXPECT_EQ(list.FindRow(otherSource), -1);
  list.SetCounts(0, uint64_t{5} << 32, 1, 1234);
  EXPECT_EQ(list.Cell(0, kColumnDownload), "20.00 GB");
  EXPECT_EQ(list.Values(0).downloadBytes, uint64_t{5} << 32);
  EXPECT_EQ(list.Values(0).lastActivity, 1234);
}

TEST(TrafficListTest, ChangeRecordsRebuildTheSameListAfterRandomEdits) {
  TrafficList list;
  Replica replica;
  list.SetChangeSink([&](std::vector<ListChange>&& changes) { replica.Apply(changes); });
  std::mt19937 random(7);
  for (int step = 0; step < 3000; ++step) {
    if (step % 13 == 0) list.Publish();  // several holds' records in one batch
    TrafficList::Lock lock(list);
    int n = list.Count();
    int action = static_cast<int>(random() % 10);
    int row = n > 0 ? static_cast<int>(random() % static_cast<unsigned>(n)) : 0;
    if (n == 0 || action < 3) {
      list.InsertTop(MakeRow("10.0.0." + std::to_string(random() % 50), "h", "s"), step);
    } else if (action < 5) {
      list.SetCell(row, static_cast<int>(random() % kColumnCount), std::to_string(step));
    } else if (action < 7) {
      list.SetSelected(row, random() % 2 == 0);
    } else if (action < 8) {
      list.Remove(row);
    } else if (action < 9) {
      std::vector<int> order(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
      std::shuffle(order.begin(), order.end(), random);
      list.Reorder(order);
    } else if (step % 500 == 0) {
      list.Clear();
    }
  }
  list.Publish();
  TrafficList::ReadLock lock(list);
  replica.ExpectSameAs(list);
}

// Finds every lookup's answer by walking the list's texts from the top, as
// a reference for the indices.
int ReferenceFind(const TrafficList& list, int keyColumn, const std::string& key)
    NO_THREAD_SAFETY_ANALYSIS {
  for (int row = 0; row < list.Count(); ++row) {
    if (*TextOfColumn(list.Texts(row), keyColumn) == key) return row;
  }
  return -1;
}

TEST(TrafficListTest, LookupsAndIdleMarksAgreeWithAWalkOverThousandsOfEditedRows) {
  // Few distinct keys over thousands of rows: long runs of equal keys in the
  // indices, removals from the middle of those runs, key cells renamed to
  // texts other rows already have, ids reused after removals.
  TrafficList list;
  Replica replica;
  list.SetChangeSink([&](std::vector<ListChange>&& changes) { replica.Apply(changes); });
  std::mt19937 random(11);
  auto address = [&] { return "10.0." + std::to_string(random() % 7) + "." + std::to_string(random() % 40); };
  int64_t now = 1000;
  for (int step = 0; step < 20000; ++step) {
    if (step % 5 == 0) list.Publish();
    TrafficList::Lock lock(list);
    int n = list.Count();
    unsigned action = random() % 100;
    int row = n > 0 ? static_cast<int>(random() % static_cast<unsigned>(n)) : 0;
    if (n == 0 || action < 40) {
      // The key is spelt into the source cell, which no edit changes, so
      // the replica can find it.
      const RowKey key{IpAddress::V4(static_cast<uint32_t>(random() % 300)), static_cast<uint32_t>(random() % 2),
                       static_cast<uint32_t>(random() % 2)};
      if (list.FindRow(key) < 0) {
        std::string ip = address();
        list.InsertTop(key, MakeTexts(ip, random() % 3 ? ip : "host" + std::to_string(random() % 20), KeyText(key)),
                       RowValues{0, 0, now, now});
        if (random() % 2) list.SetSelected(0, true);
      }
    } else if (action < 55) {
      list.Remove(row);
    } else if (action < 65) {
      list.SetCell(row, random() % 2 ? kColumnRemoteIp : kColumnRemoteHost, address());
    } else if (action < 75) {
      list.SetLastActivity(row, now - static_cast<int64_t>(random() % 10));
      list.SetSelected(row, true);
    } else if (action < 76) {
      std::vector<int> order(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
      std::shuffle(order.begin(), order.end(), random);
      list.Reorder(order);
    } else if (action < 80) {
      ++now;
      list.DeselectIdleRows(now);
    } else {
      const RowKey key{IpAddress::V4(static_cast<uint32_t>(random() % 300)), static_cast<uint32_t>(random() % 2),
                       static_cast<uint32_t>(random() % 2)};
      ASSERT_EQ(list.FindRow(key), ReferenceFind(list, kColumnLocalSource, KeyText(key))) << step;
      std::string ip = address();
      ASSERT_EQ(list.FindRemoteIpRow(ip), ReferenceFind(list, kColumnRemoteIp, ip));
    }
    if (step % 7000 == 6999) list.Clear();
  }
  list.Publish();
  TrafficList::ReadLock lock(list);
  replica.ExpectSameAs(list);
}

TEST(TrafficListTest, IdleStepClearsOnlyMarksFiveToEightSecondsOld) {
  TrafficList list;
  TrafficList::Lock lock(list);
  for (int64_t age = 0; age <= 10; ++age) {
    list.InsertTop(MakeRow("10.0.0." + std::to_string(age), "h", "s"), 100 - age);
    list.SetSelected(0, true);
  }
  list.DeselectIdleRows(100);
  // The last row inserted (age 10) is at the top.
  for (int row = 0; row <= 10; ++row) {
    int64_t age = 10 - row;
    EXPECT_EQ(list.IsSelected(row), age < 5 || age > 8) << "age " << age;
  }
}

// The sink runs at Publish(), outside the list's lock (it may take the
// list's lock itself), never at a Lock's release.
TEST(TrafficListTest, RecordsWaitForPublishWhichRunsTheSinkOutsideTheLock) {
  TrafficList list;
  std::vector<size_t> batches;
  list.SetChangeSink([&](std::vector<ListChange>&& changes) {
    TrafficList::ReadLock lock(list);  // would deadlock inside the hold
    batches.push_back(changes.size());
  });
  {
    TrafficList::Lock lock(list);
    list.InsertTop(MakeRow("1.1.1.1", "a", "s"), 0);
    list.SetSelected(0, true);
  }
  EXPECT_TRUE(batches.empty());
  list.Publish();
  EXPECT_EQ(batches, std::vector<size_t>{2});
  list.Publish();
  EXPECT_EQ(batches.size(), 1u) << "nothing new, nothing handed on";
}

}  // namespace
}  // namespace corvane
