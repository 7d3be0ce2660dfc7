// What top shows of the list: each program's or host's counts and rates are
// the sums of its rows, the filter keeps the rows whose program or host
// holds it, and hostile names reach the terminal clipped and cleaned.
#include "tools/top_view.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TopRow Row(uint32_t label, const std::string& program, const std::string& host, uint64_t down,
           uint64_t up) {
  return TopRow{RowKey{IpAddress::V4(label), 0, label}, program, host, RowValues{down, up, 0, 0}};
}

TEST(TopView, EntriesAreTheSumsOfTheirRowsByProgramAndByHostAndFiltered) {
  const std::vector<TopRow> rows = {Row(1, "curl", "a.example", 100, 10),
                                    Row(2, "curl", "b.example", 200, 20),
                                    Row(3, "firefox", "a.example", 1000, 5)};
  const std::vector<ByteRates> rates = {{1, 2}, {3, 4}, {50, 0}};

  auto programs = AggregateTop(rows, rates, TopGrouping::kProgram, "", TopSort::kTotal);
  ASSERT_EQ(programs.size(), 2u);
  EXPECT_EQ(programs[0].name, "firefox");
  EXPECT_EQ(programs[1].name, "curl");
  EXPECT_EQ(programs[1].download, 300u);
  EXPECT_EQ(programs[1].upload, 30u);
  EXPECT_DOUBLE_EQ(programs[1].rates.download, 4);
  EXPECT_DOUBLE_EQ(programs[1].rates.upload, 6);
  EXPECT_EQ(programs[1].others, 2u);

  auto hosts = AggregateTop(rows, rates, TopGrouping::kHost, "", TopSort::kName);
  ASSERT_EQ(hosts.size(), 2u);
  EXPECT_EQ(hosts[0].name, "a.example");
  EXPECT_EQ(hosts[0].download, 1100u);
  EXPECT_EQ(hosts[0].others, 2u);

  // A filter on a host keeps only that host's rows of each program.
  programs = AggregateTop(rows, rates, TopGrouping::kProgram, "B.EXAMPLE", TopSort::kName);
  ASSERT_EQ(programs.size(), 1u);
  EXPECT_EQ(programs[0].download, 200u);
}

TEST(TopView, NamesAreCleanedOfControlsAndClippedToTheirColumns) {
  EXPECT_EQ(ClipToColumns("evil\x1b]0;owned\x07name", 40, true), "evil_]0;owned_name");
  EXPECT_EQ(ClipToColumns("abcdef", 4, true, true), "abcd");
  EXPECT_EQ(ClipToColumns("ab", 4, true, true), "ab  ");
  EXPECT_EQ(ClipToColumns("caf\xc3\xa9", 10, false), "caf?");
  EXPECT_EQ(ProgramOfSource("Web Content:4242"), "Web Content");
  EXPECT_EQ(ProgramOfSource("TCP protocol"), "TCP protocol");
}

}  // namespace
}  // namespace corvane
