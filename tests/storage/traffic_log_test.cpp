#include "storage/traffic_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "vocabulary/text_format.h"
#include "platform/clock.h"
#include "engine/row_order.h"
#include "tests/storage/temp_dir.h"

namespace corvane {
namespace {

int64_t LocalSeconds(int year, int month, int day, int hour, int minute, int second) {
  int64_t seconds = 0;
  FromLocalTime(LocalTime{year, month, day, hour, minute, second}, seconds);
  return seconds;
}

RowCells SampleRow() {
  return {"10.0.0.5",         "gateway",           "1.50 KB",
          "200 B",            "1.70 KB",           "Process ID# 1234",
          "2005-03-01 09:05:07", "2005-03-01 09:06:00"};
}

class TrafficLogTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(TrafficLogTest, DocumentedLineShowsItsEightCells) {
  auto rows = ParseTrafficLog(
      "10.0.0.5 gateway 1.50_KB 200_B 1.70_KB Process_ID#_1234 2005-03-01_09:05:07 "
      "2005-03-01_09:06:00\n");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], SampleRow());
}

TEST_F(TrafficLogTest, EveryCellSurvivesTheRoundTrip) {
  RowCells row = SampleRow();
  EXPECT_EQ(FormatRowLine(row),
            "10.0.0.5 gateway 1.50_KB 200_B 1.70_KB Process_ID#_1234 2005-03-01_09:05:07 "
            "2005-03-01_09:06:00");
  std::vector<RowCells> rows{row, row};
  rows[1][kColumnRemoteIp] = "10.0.0.6";
  std::string saved;
  ASSERT_TRUE(SaveTrafficLog(dir_.path(), rows, LocalSeconds(2005, 3, 1, 9, 5, 7), &saved));
  EXPECT_EQ(saved, dir_.File("2005-03-01_09t05t07.log"));
  auto back = ReadTrafficLog(saved);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, rows);
}

void SortRows(int column, std::vector<RowCells>& rows) {
  std::vector<RowCells> sorted;
  for (int index : SortedRowOrder(rows, column)) sorted.push_back(rows[static_cast<size_t>(index)]);
  rows.swap(sorted);
}

TEST_F(TrafficLogTest, GigabyteAndTerabyteCountsReadBackAndSortBesideOlderTexts) {
  // A line of an older version, which had no unit above MB, then one as this
  // version writes it.
  const std::string log =
      "10.0.0.6 b 4096.00_MB 0_B 4096.00_MB Process_ID#_2 2005-03-01_09:05:07 "
      "2005-03-01_09:06:00\n"
      "10.0.0.5 a 4.27_GB 1.00_TB 1.00_TB Process_ID#_1 2005-03-01_09:05:07 "
      "2005-03-01_09:06:00\n";
  auto rows = ParseTrafficLog(log);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1][kColumnDownload], "4.27 GB");
  EXPECT_EQ(rows[1][kColumnUpload], "1.00 TB");
  SortRows(kColumnDownload, rows);
  EXPECT_EQ(rows[0][kColumnRemoteIp], "10.0.0.5");  // 4.27 GB before 4096.00 MB (4 GB)
  rows = ParseTrafficLog(log);
  SortRows(kColumnTotal, rows);
  EXPECT_EQ(rows[0][kColumnRemoteIp], "10.0.0.5");  // 1.00 TB before 4096.00 MB
}

TEST_F(TrafficLogTest, UnderscoreOfALocalSourceReadsBackAsABlank) {
  RowCells row = SampleRow();
  row[kColumnLocalSource] = "my_tool.exe";
  auto rows = ParseTrafficLog(FormatRowLine(row) + "\n");
  EXPECT_EQ(rows[0][kColumnLocalSource], "my tool.exe");
  // Tokens 1 and 2 are shown as read.
  row[kColumnRemoteHost] = "host_name";
  EXPECT_EQ(ParseTrafficLog(FormatRowLine(row))[0][kColumnRemoteHost], "host_name");
}

TEST_F(TrafficLogTest, ControlCharactersAndEmptyCellsCannotBreakTheLine) {
  RowCells row = SampleRow();
  row[kColumnRemoteHost] = "evil\nhost\tname\r";
  row[kColumnLocalSource] = "";
  std::string line = FormatRowLine(row);
  EXPECT_EQ(line.find_first_of("\n\r\t"), std::string::npos);
  auto rows = ParseTrafficLog(line + "\n");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][kColumnRemoteHost], "evil_host_name_");
  EXPECT_EQ(rows[0][kColumnLocalSource], " ");
  EXPECT_EQ(rows[0][kColumnLastActivity], "2005-03-01 09:06:00");
}

TEST_F(TrafficLogTest, ShortLineLeavesMissingCellsEmpty) {
  auto rows = ParseTrafficLog("10.0.0.5 gateway 1_B\r\n\nextra 2 3 4 5 6 7 8 9 10\n");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][kColumnDownload], "1 B");
  EXPECT_EQ(rows[0][kColumnUpload], "");
  EXPECT_EQ(rows[1], RowCells{});
  EXPECT_EQ(rows[2][kColumnLastActivity], "8");
}

TEST_F(TrafficLogTest, LineLongerThan999CharactersIsOneRow) {
  RowCells row = SampleRow();
  row[kColumnRemoteHost] = std::string(1500, 'h');
  auto rows = ParseTrafficLog(FormatRowLine(row) + "\n");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], row);
}

TEST_F(TrafficLogTest, TakenNameGetsASuffixThatKeepsTheDisplayRule) {
  const int64_t moment = LocalSeconds(2005, 3, 2, 18, 0, 0);
  std::vector<RowCells> first{SampleRow()};
  std::vector<RowCells> second{SampleRow(), SampleRow()};
  ASSERT_TRUE(SaveTrafficLog(dir_.path(), first, moment));
  std::string path;
  ASSERT_TRUE(SaveTrafficLog(dir_.path(), second, moment, &path));
  EXPECT_EQ(path, dir_.File("2005-03-02_18t00t00-2.log"));
  EXPECT_EQ(ReadTrafficLog(dir_.File("2005-03-02_18t00t00.log"))->size(), 1u);  // not replaced
  auto logs = ListLogs(dir_.path());
  ASSERT_EQ(logs.size(), 2u);
  // Sorted by file name: "-" comes before ".".
  EXPECT_EQ(logs[0].displayName, "2005-03-02 18:00:00-2");
  EXPECT_EQ(logs[1].displayName, "2005-03-02 18:00:00");
}

TEST_F(TrafficLogTest, NewLogIsReadableByItsOwnerOnly) {
  std::string path;
  ASSERT_TRUE(SaveTrafficLog(dir_.path(), {SampleRow()}, 0, &path));
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(TrafficLogTest, UnwritableDirectoryNamesThePath) {
  const Status failed =
      SaveTrafficLog(dir_.File("gone"), {SampleRow()}, LocalSeconds(2005, 3, 1, 0, 0, 0));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.reason, "Can't write to " + dir_.File("gone/2005-03-01_00t00t00.log"));
  EXPECT_TRUE(failed.Missing()) << failed.code;
}

TEST(LogDisplayNameTest, FollowsTheDisplayRule) {
  EXPECT_EQ(LogDisplayName("2005-03-01_09t05t07.log"), "2005-03-01 09:05:07");
  EXPECT_EQ(LogDisplayName("notes.txt.log"), "no:es");
  EXPECT_EQ(LogDisplayName("test.log"), ":es:");
  EXPECT_EQ(LogDisplayName("a.b.log"), "a");
  EXPECT_EQ(LogDisplayName(std::string(120, 'x') + ".log"), std::string(99, 'x'));
}

TEST_F(TrafficLogTest, OnlyTrafficLogsAreListedAndDeleted) {
  dir_.Write("2005-03-01_00t00t00.log",
             "1.1.1.1 a 1_B 1_B 2_B s 2005-03-01_00:00:00 2005-03-01_00:00:00\n");
  dir_.Write("2005-03-01_00t00t00-2.log",
             "2.2.2.2 b 1_B 1_B 2_B s 2005-03-01_00:00:00 2005-03-01_00:00:00\n");
  dir_.Write("set.dat", "0 0 0 ? ? 4294967295\r\n");
  // Other programs' logs sharing the folder, and near misses of the name.
  for (const char* foreign : {"build.log", "a.b.log", "2005-03-01_00t00t00.txt.log",
                              "2005-03-01_00t00t0x.log", "2005-03-01_00t00t00-.log",
                              "2005-03-01_00t00t00-2a.log", "notes.log.txt"}) {
    dir_.Write(foreign, "keep");
  }
  std::filesystem::create_directory(dir_.File("2005-03-02_00t00t00.log"));

  auto logs = ListLogs(dir_.path());
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0], (LogChoice{"2005-03-01_00t00t00-2.log", "2005-03-01 00:00:00-2"}));
  EXPECT_EQ(logs[1], (LogChoice{"2005-03-01_00t00t00.log", "2005-03-01 00:00:00"}));

  auto shown = RowsForDisplayName(dir_.path(), logs, "2005-03-01 00:00:00");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0][kColumnRemoteIp], "1.1.1.1");
  EXPECT_TRUE(RowsForDisplayName(dir_.path(), logs, kSelectLogEntry).empty());

  DeleteLogsResult deleted = DeleteAllLogs(dir_.path());
  EXPECT_EQ(deleted.removed, 2);
  EXPECT_TRUE(deleted.failures.empty());
  EXPECT_TRUE(ListLogs(dir_.path()).empty());
  EXPECT_EQ(dir_.Read("set.dat"), "0 0 0 ? ? 4294967295\r\n");
  EXPECT_EQ(dir_.Read("build.log"), "keep");
  EXPECT_EQ(dir_.Read("2005-03-01_00t00t00-2a.log"), "keep");
  EXPECT_TRUE(std::filesystem::is_directory(dir_.File("2005-03-02_00t00t00.log")));
}

TEST_F(TrafficLogTest, LogIsShownLastLineFirst) {
  dir_.Write("2005-03-01_00t00t00.log",
             "A a 1_B 1_B 2_B s t t\nB b 1_B 1_B 2_B s t t\nC c 1_B 1_B 2_B s t t\n");
  auto shown = RowsForDisplayName(dir_.path(), ListLogs(dir_.path()), "2005-03-01 00:00:00");
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0][0], "C");
  EXPECT_EQ(shown[2][0], "A");
}

}  // namespace
}  // namespace corvane
