// Damaged data files: random bytes, NUL bytes, a 10 MB line and a cut-off
// last line, in set.dat, filters.dat and a traffic log. Each must read as
// defaults or with the damaged lines skipped: never a crash, never a hang
// (ctest's time limit catches a hang).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/test_env.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "filters/filter_set.h"
#include "storage/settings.h"
#include "storage/traffic_log.h"
#include "tests/storage/temp_dir.h"

namespace corvane {
namespace {

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xff);
  return bytes;
}

const std::string kTenMegabytes(10 * 1024 * 1024, 'x');

class DamagedFilesTest : public ::testing::Test {
 protected:
  std::string SettingsPath() const { return dir_.File(kSettingsFileName); }
  std::string FiltersPath() const { return FilterFilePath(dir_.path()); }

  // The window's start-up read: never the name lookup of a proxy host
  // (damaged files must not make the program wait for the resolver).
  SettingsFields FieldsRead() const {
    SettingsFields fields;
    LoadSettings(SettingsPath(), fields);
    return fields;
  }

  TempDir dir_;
};

TEST_F(DamagedFilesTest, RandomBytesInSetDatGiveDefaults) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    dir_.Write(kSettingsFileName, RandomBytes(4096, seed));
    const auto line = ReadSettingsFile(SettingsPath());
    ASSERT_TRUE(line.has_value());
    EXPECT_LE(line->fieldsRead, 6);
    (void)FieldsRead();
  }
}

TEST_F(DamagedFilesTest, NulBytesInSetDatGiveDefaults) {
  dir_.Write(kSettingsFileName, std::string(1000, '\0'));
  EXPECT_EQ(FieldsRead(), SettingsFields{});
  dir_.Write(kSettingsFileName, std::string("1 1\0 1 host 80 0\r\n", 18));
  const SettingsFields fields = FieldsRead();
  EXPECT_TRUE(fields.hideLanFlows);
  EXPECT_FALSE(fields.proxyEnabled);  // the scan stops at the NUL byte's word
}

TEST_F(DamagedFilesTest, TenMegabyteSetDatLineIsReadAndWrittenBackShort) {
  dir_.Write(kSettingsFileName, "0 1 0 " + kTenMegabytes + " 80 0\r\n");
  const SettingsFields fields = FieldsRead();
  EXPECT_TRUE(fields.freezeGraph);
  EXPECT_LE(FormatSettingsLine(fields).size(), 6 * (kMaxSettingsWord + 1));
}

TEST_F(DamagedFilesTest, CutOffSetDatLineKeepsTheFieldsBeforeTheCut) {
  dir_.Write(kSettingsFileName, "1 0 1 127.0.0.3 31");
  const auto line = ReadSettingsFile(SettingsPath());
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->fieldsRead, 5);
  EXPECT_EQ(line->hostText, "127.0.0.3");
  EXPECT_EQ(line->interfaceMask, 0xffffffffu);
}

TEST_F(DamagedFilesTest, RandomBytesInFiltersDatNeverBreakMatching) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    dir_.Write(kFilterFileName, RandomBytes(8192, seed));
    const FilterLoadResult loaded = LoadFilterSet(FiltersPath());
    EXPECT_EQ(loaded.status, FilterLoadStatus::Loaded);
    (void)MatchFilters(loaded.filters, "127.0.0.3", "localhost", "firefox");
  }
}

TEST_F(DamagedFilesTest, NulBytesInFiltersDatCannotLoseTheModeOrLaterRules) {
  dir_.Write(kFilterFileName, std::string("1\r\na\0b c\r\n\0\0\0\r\nssh <ANY>\r\n", 26));
  const FilterLoadResult loaded = LoadFilterSet(FiltersPath());
  EXPECT_EQ(loaded.filters.mode, FilterMode::BlackList);
  ASSERT_FALSE(loaded.filters.rules.empty());
  EXPECT_EQ(loaded.filters.rules.back(), (FilterRule{"ssh", "<ANY>"}));
}

TEST_F(DamagedFilesTest, TenMegabyteFilterLineIsOneRule) {
  dir_.Write(kFilterFileName, "1\r\n" + kTenMegabytes + " ssh\r\nexample.org <ANY>\r\n");
  const FilterLoadResult loaded = LoadFilterSet(FiltersPath());
  ASSERT_EQ(loaded.filters.rules.size(), 2u);
  EXPECT_EQ(loaded.filters.rules[0].remoteHost.size(), kTenMegabytes.size());
  EXPECT_EQ(loaded.filters.rules[1].remoteHost, "example.org");
}

TEST_F(DamagedFilesTest, CutOffLastFilterLineStillGivesItsRule) {
  dir_.Write(kFilterFileName, "1\r\nexample.org firefox\r\nssh");
  const FilterLoadResult loaded = LoadFilterSet(FiltersPath());
  ASSERT_EQ(loaded.filters.rules.size(), 2u);
  EXPECT_EQ(loaded.filters.rules[1], (FilterRule{"ssh", "<ANY>"}));
}

TEST_F(DamagedFilesTest, MonitorStartsOnDamagedFiltersAndSettings) {
  dir_.Write(kFilterFileName, RandomBytes(4096, 7));
  dir_.Write(kSettingsFileName, std::string(64, '\0'));
  ManualClock clock(1'000'000);
  testing::TestEnv env(clock);
  Monitor monitor(env, dir_.path());
  monitor.LoadSettingsFile();
  EXPECT_EQ(monitor.LoadFilters().status, FilterLoadStatus::Loaded);
  EXPECT_FALSE(StateOf(monitor).settings.proxyEnabled.load());
}

class DamagedLogTest : public DamagedFilesTest {
 protected:
  static constexpr const char* kName = "2005-03-01_09t05t07.log";
  std::vector<RowCells> Shown() {
    const auto choices = ListLogs(dir_.path());
    EXPECT_EQ(choices.size(), 1u);
    return RowsForDisplayName(dir_.path(), choices, "2005-03-01 09:05:07");
  }
};

TEST_F(DamagedLogTest, RandomBytesGiveRowsWithoutACrash) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    dir_.Write(kName, RandomBytes(16384, seed));
    (void)Shown();
  }
}

TEST_F(DamagedLogTest, NulBytesAndEmptyLinesGiveNoBrokenRow) {
  dir_.Write(kName, std::string("\0\0\0\n\n", 5) + "a b c d e f g h\n");
  const auto rows = Shown();
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front()[kColumnRemoteIp], "a");
}

TEST_F(DamagedLogTest, TenMegabyteLineIsOneRow) {
  dir_.Write(kName, "a b c d e f g h\n" + kTenMegabytes + "\n");
  const auto rows = Shown();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows.front()[kColumnRemoteIp].size(), kTenMegabytes.size());
}

TEST_F(DamagedLogTest, CutOffLastLineLeavesItsMissingCellsEmpty) {
  dir_.Write(kName, "a b c d e f g h\r\n127.0.0.3 host 1.00_KB");
  const auto rows = Shown();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows.front()[kColumnRemoteIp], "127.0.0.3");
  EXPECT_EQ(rows.front()[kColumnDownload], "1.00 KB");
  EXPECT_EQ(rows.front()[kColumnLastActivity], "");
}

}  // namespace
}  // namespace corvane
