#include "engine/row_order.h"

#include <gtest/gtest.h>

#include "vocabulary/text_format.h"

namespace corvane {
namespace {

RowCells RowWith(int column, std::string text) {
  RowCells cells;
  cells[static_cast<size_t>(column)] = std::move(text);
  return cells;
}

std::vector<std::string> ColumnAfterSort(const std::vector<std::string>& texts, int column,
                                         SortDirection direction = SortDirection::kGreatestFirst) {
  std::vector<RowCells> rows;
  for (const std::string& text : texts) rows.push_back(RowWith(column, text));
  std::vector<std::string> sorted;
  for (int index : SortedRowOrder(rows, column, direction)) {
    sorted.push_back(rows[static_cast<size_t>(index)][static_cast<size_t>(column)]);
  }
  return sorted;
}

TEST(RowOrderTest, ByteCountsCompareByValueWithTheirUnitNotAsText) {
  // As text "1023 B" > "1.00 MB" > "1.00 KB"; by value it is the reverse.
  EXPECT_EQ(ColumnAfterSort({"1023 B", "1.00 MB", "1.00 KB"}, kColumnDownload),
            (std::vector<std::string>{"1.00 MB", "1.00 KB", "1023 B"}));
  // Every text FormatByteCount writes sorts as its count does. (1048575
  // shows as "1024.00 KB", equal in value to "1.00 MB": left out.)
  std::vector<uint32_t> counts{0, 1023, 1024, 1536, 1040000, 1048576, 4294967295u, 77};
  std::vector<std::string> texts;
  for (uint32_t c : counts) texts.push_back(FormatByteCount(c));
  std::vector<std::string> sorted = ColumnAfterSort(texts, kColumnTotal);
  std::sort(counts.begin(), counts.end(), std::greater<>());
  ASSERT_EQ(sorted.size(), counts.size());
  for (size_t i = 0; i < counts.size(); ++i) EXPECT_EQ(sorted[i], FormatByteCount(counts[i]));
}

TEST(RowOrderTest, AddressesSortByValueEitherWayWithIpv6AfterIpv4AndNonAddressesLast) {
  const std::vector<std::string> addresses{"10.0.0.1", "2001:db8::2", "???", "192.168.0.1",
                                           "9.9.9.9", "2001:db8::10"};
  EXPECT_EQ(ColumnAfterSort(addresses, kColumnRemoteIp),
            (std::vector<std::string>{"2001:db8::10", "2001:db8::2", "192.168.0.1", "10.0.0.1",
                                      "9.9.9.9", "???"}));
  EXPECT_EQ(ColumnAfterSort(addresses, kColumnRemoteIp, SortDirection::kSmallestFirst),
            (std::vector<std::string>{"???", "9.9.9.9", "10.0.0.1", "192.168.0.1",
                                      "2001:db8::2", "2001:db8::10"}));
  // Equal keys keep their order in both directions.
  EXPECT_EQ(ColumnAfterSort({"b", "a", "b"}, kColumnRemoteHost, SortDirection::kSmallestFirst),
            (std::vector<std::string>{"a", "b", "b"}));
}

TEST(RowOrderTest, TextComparesBytesAsUnsignedAndCaseSensitive) {
  // A UTF-8 lead byte (0xC3) is greater than any ASCII letter; "b" > "B".
  EXPECT_EQ(ColumnAfterSort({"B", "\xC3\xA9t\xC3\xA9", "b"}, kColumnLocalSource),
            (std::vector<std::string>{"\xC3\xA9t\xC3\xA9", "b", "B"}));
}

TEST(RowOrderTest, LastActivityPutsTheNewestFirst) {
  EXPECT_EQ(ColumnAfterSort({"2024-01-02 09:00:00", "2024-01-02 10:00:00", "2023-12-31 23:59:59"},
                            kColumnLastActivity),
            (std::vector<std::string>{"2024-01-02 10:00:00", "2024-01-02 09:00:00",
                                      "2023-12-31 23:59:59"}));
}

TEST(RowOrderTest, SortingTwiceByTheSameColumnGivesTheSameOrder) {
  TrafficList list;
  std::vector<ListChange> records;
  list.SetChangeSink([&](std::vector<ListChange>&& changes) {
    for (auto& c : changes) records.push_back(std::move(c));
  });
  {
    TrafficList::Lock lock(list);
    // Equal values with different other cells: a sort that is not stable
    // would reorder them on the second click.
    for (int i = 0; i < 50; ++i) {
      RowCells cells{"10.0.0." + std::to_string(i), "h", i % 2 ? "1.00 KB" : "1024 B", "0 B",
                     "0 B", "p", "", ""};
      list.InsertTop(cells, 0);
    }
    SortTrafficList(list, kColumnDownload);
  }
  std::vector<RowCells> first;
  {
    TrafficList::Lock lock(list);
    first = list.Rows();
  }
  records.clear();
  {
    TrafficList::Lock lock(list);
    SortTrafficList(list, kColumnDownload);
    EXPECT_EQ(list.Rows(), first);
  }
}

TEST(RowOrderTest, SortMovesRowsAndTheIndexStillFindsThem) {
  TrafficList list;
  TrafficList::Lock lock(list);
  list.InsertTop(RowCells{"1.1.1.1", "", "5 B", "", "", "", "", ""}, 0);
  list.InsertTop(RowCells{"2.2.2.2", "", "7 B", "", "", "", "", ""}, 0);
  list.InsertTop(RowCells{"3.3.3.3", "", "6 B", "", "", "", "", ""}, 0);
  SortTrafficList(list, kColumnDownload);
  EXPECT_EQ(list.Cell(0, kColumnRemoteIp), "2.2.2.2");
  EXPECT_EQ(list.Cell(1, kColumnRemoteIp), "3.3.3.3");
  EXPECT_EQ(list.Cell(2, kColumnRemoteIp), "1.1.1.1");
  EXPECT_EQ(list.FindRemoteIpRow("1.1.1.1"), 2);
  // New rows go where the sort puts them, so that logs and exports keep
  // the window's order.
  const RowKey key{IpAddress::V4(0x04040404), 0, 1};
  EXPECT_EQ(list.Insert(key, RowTexts{"4.4.4.4", "", ""}, RowValues{6, 0, 0, 0}), 1);
  EXPECT_EQ(list.FindRow(key), 1);
  EXPECT_EQ(list.FindRemoteIpRow("1.1.1.1"), 3);
  SortTrafficList(list, kColumnDownload, SortDirection::kSmallestFirst);
  EXPECT_EQ(list.Insert(RowKey{IpAddress::V4(0x05050505), 0, 1}, RowTexts{"5.5.5.5", "", ""},
                        RowValues{9, 0, 0, 0}),
            4);
}

TEST(RowOrderTest, LogCellsThatAreNotNumbersCountAsZero) {
  RowCells cells{"a", "a", "", "abc", "nan B", "s", "junk", ""};
  RowValues values = ValuesOfCells(cells);
  EXPECT_EQ(values.downloadBytes, 0u);
  EXPECT_EQ(values.uploadBytes, 0u);
  EXPECT_EQ(values.firstActivity, 0);
  EXPECT_EQ(ColumnAfterSort({"garbage", "5 B", "nan B", "", "0 B"}, kColumnTotal),
            (std::vector<std::string>{"5 B", "garbage", "nan B", "", "0 B"}));
}

}  // namespace
}  // namespace corvane
