#include "storage/row_sort.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

std::vector<RowCells> RowsWith(int column, std::vector<std::string> texts) {
  std::vector<RowCells> rows;
  for (std::string& text : texts) {
    RowCells row;
    row[column] = std::move(text);
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<std::string> Sorted(int column, std::vector<std::string> texts) {
  std::vector<RowCells> rows = RowsWith(column, std::move(texts));
  SortRows(column, rows);
  std::vector<std::string> out;
  for (const RowCells& row : rows) out.push_back(row[column]);
  return out;
}

TEST(RowSortTest, SizesCompareByValueWithTheirUnitGreatestFirst) {
  EXPECT_EQ(Sorted(kColumnDownload, {"1023.99 KB", "900 B", "1.00 MB", "2.00 KB"}),
            (std::vector<std::string>{"1.00 MB", "1023.99 KB", "2.00 KB", "900 B"}));
  EXPECT_EQ(Sorted(kColumnTotal, {"1023 B", "1.00 KB", "1.00 GB"}),
            (std::vector<std::string>{"1.00 GB", "1.00 KB", "1023 B"}));
}

TEST(RowSortTest, SizeCellWithoutANumberSortsLastAndNaNCannotBreakTheSort) {
  EXPECT_EQ(Sorted(kColumnUpload, {"garbage", "5 B", "nan B", "", "0 B"}),
            (std::vector<std::string>{"5 B", "0 B", "garbage", "nan B", ""}));
}

TEST(RowSortTest, TextColumnsCompareBytesGreatestFirst) {
  EXPECT_EQ(Sorted(kColumnRemoteHost, {"alpha", "Alpha", "zeta"}),
            (std::vector<std::string>{"zeta", "alpha", "Alpha"}));
  EXPECT_EQ(Sorted(kColumnRemoteIp, {"10.0.0.1", "192.168.0.1", "9.9.9.9"}),
            (std::vector<std::string>{"9.9.9.9", "192.168.0.1", "10.0.0.1"}));
  // Bytes above 127 are greater than ASCII (unsigned comparison).
  EXPECT_EQ(Sorted(kColumnLocalSource, {"z", "\xc3\xa9"}),
            (std::vector<std::string>{"\xc3\xa9", "z"}));
}

TEST(RowSortTest, LaterTimestampsComeFirst) {
  EXPECT_EQ(Sorted(kColumnLastActivity,
                   {"2005-03-01 09:05:07", "2005-12-01 00:00:00", "2005-03-01 10:00:00"}),
            (std::vector<std::string>{"2005-12-01 00:00:00", "2005-03-01 10:00:00",
                                      "2005-03-01 09:05:07"}));
}

TEST(RowSortTest, SortingTwiceGivesTheSameOrderAndEqualKeysKeepTheirOrder) {
  std::vector<RowCells> rows = RowsWith(kColumnDownload, {"1 B", "2 B", "1 B", "1.00 KB"});
  rows[0][kColumnRemoteIp] = "first";
  rows[2][kColumnRemoteIp] = "second";
  std::vector<int> order = SortOrder(kColumnDownload, rows);
  EXPECT_EQ(order, (std::vector<int>{3, 1, 0, 2}));
  SortRows(kColumnDownload, rows);
  std::vector<RowCells> again = rows;
  SortRows(kColumnDownload, again);
  EXPECT_EQ(again, rows);
  EXPECT_LT(CompareRows(kColumnDownload, rows[0], rows[1]), 0);
  EXPECT_EQ(CompareRows(kColumnDownload, rows[2], rows[3]), 0);
}

}  // namespace
}  // namespace corvane
