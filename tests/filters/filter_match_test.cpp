// Which flows the filters hide.
#include <gtest/gtest.h>

#include "filters/filter_set.h"

namespace corvane {
namespace {

class MatchFiltersTest : public ::testing::Test {
 protected:
  bool Hidden(std::string_view address, std::string_view host, std::string_view local) const {
    return MatchFilters(filters_, address, host, local);
  }
  // A flow as ShowFlowEvent asks about it: the address stands for the host.
  bool HiddenFlow(std::string_view address, std::string_view local) const {
    return Hidden(address, address, local);
  }
  void Use(FilterMode mode, std::vector<FilterRule> rules) {
    filters_.mode = mode;
    filters_.rules = std::move(rules);
  }

  FilterSet filters_;
};

TEST_F(MatchFiltersTest, EmptyListHidesNothingInEitherMode) {
  Use(FilterMode::WhiteList, {});
  EXPECT_FALSE(HiddenFlow("10.0.0.1", "TCP protocol"));
  Use(FilterMode::BlackList, {});
  EXPECT_FALSE(HiddenFlow("10.0.0.1", "TCP protocol"));
}

TEST_F(MatchFiltersTest, AnyAnyRuleHidesAllOnBlackListAndNothingOnWhiteList) {
  Use(FilterMode::BlackList, {{"<ANY>", "<ANY>"}});
  EXPECT_TRUE(HiddenFlow("10.0.0.1", "TCP protocol"));
  EXPECT_TRUE(Hidden("", "", ""));
  Use(FilterMode::WhiteList, {{"<ANY>", "<ANY>"}});
  EXPECT_FALSE(HiddenFlow("10.0.0.1", "TCP protocol"));
  EXPECT_FALSE(Hidden("", "", ""));
}

TEST_F(MatchFiltersTest, RemoteTextIsASubstringOfAddressAndLocalTextOfLocalSource) {
  Use(FilterMode::BlackList, {{"10.1.1", "iexplorer"}});
  EXPECT_TRUE(HiddenFlow("10.1.1.3", "iexplorer.exe:1234"));
  EXPECT_TRUE(HiddenFlow("192.10.1.1", "iexplorer.exe:1234"));
  EXPECT_FALSE(HiddenFlow("10.1.1.3", "firefox.exe:99"));
  EXPECT_FALSE(HiddenFlow("192.10.1.1", "firefox.exe:99"));
  EXPECT_FALSE(HiddenFlow("192.168.10.1", "iexplorer.exe:1234"));
}

TEST_F(MatchFiltersTest, WhiteListHidesWhatNoRuleMatches) {
  Use(FilterMode::WhiteList, {{"10.1.1", "iexplorer"}});
  EXPECT_FALSE(HiddenFlow("10.1.1.3", "iexplorer.exe:1234"));
  EXPECT_TRUE(HiddenFlow("10.1.1.3", "firefox.exe:99"));
  EXPECT_TRUE(HiddenFlow("192.168.10.1", "iexplorer.exe:1234"));
}

TEST_F(MatchFiltersTest, SubstringTestsAreCaseSensitive) {
  Use(FilterMode::BlackList, {{"SERVER", "<ANY>"}});
  EXPECT_FALSE(Hidden("10.0.0.9", "fileserver", "TCP protocol"));
  EXPECT_TRUE(Hidden("10.0.0.9", "FILESERVER", "TCP protocol"));
  Use(FilterMode::BlackList, {{"<ANY>", "Firefox"}});
  EXPECT_FALSE(HiddenFlow("10.0.0.9", "firefox:99"));
}

TEST_F(MatchFiltersTest, RemoteTextMatchesThroughTheHostName) {
  Use(FilterMode::BlackList, {{"doubleclick", "firefox"}});
  EXPECT_FALSE(HiddenFlow("10.0.0.9", "firefox:99"));
  EXPECT_TRUE(Hidden("10.0.0.9", "ad.doubleclick.net", "firefox:99"));
  EXPECT_FALSE(Hidden("10.0.0.9", "ad.doubleclick.net", "curl:12"));
}

TEST_F(MatchFiltersTest, BothPartsMustMatchTheSameRule) {
  Use(FilterMode::BlackList, {{"10.0.0.1", "curl"}, {"10.0.0.2", "wget"}});
  EXPECT_FALSE(HiddenFlow("10.0.0.1", "wget:5"));
  EXPECT_FALSE(HiddenFlow("10.0.0.2", "curl:5"));
  EXPECT_TRUE(HiddenFlow("10.0.0.2", "wget:5"));
}

TEST_F(MatchFiltersTest, AnyIsAWildcardOnlyAsTheWholeText) {
  Use(FilterMode::BlackList, {{"<ANY>.net", "<ANY>"}, {"<any>", "<ANY>"}});
  EXPECT_FALSE(Hidden("10.0.0.1", "example.net", "TCP protocol"));
  EXPECT_TRUE(Hidden("10.0.0.1", "odd<ANY>.net", "TCP protocol"));
}

TEST_F(MatchFiltersTest, EmptyRuleTextMatchesEverything) {
  Use(FilterMode::BlackList, {{"", ""}});
  EXPECT_TRUE(Hidden("", "", ""));
  EXPECT_TRUE(HiddenFlow("10.0.0.1", "TCP protocol"));
}

TEST_F(MatchFiltersTest, SeveralMatchingRulesGiveTheSameAnswerAsOne) {
  Use(FilterMode::BlackList, {{"10.", "<ANY>"}, {"<ANY>", "TCP"}, {"10.0", "TCP"}});
  EXPECT_TRUE(HiddenFlow("10.0.0.1", "TCP protocol"));
  Use(FilterMode::WhiteList, {{"10.", "<ANY>"}, {"<ANY>", "TCP"}, {"10.0", "TCP"}});
  EXPECT_FALSE(HiddenFlow("10.0.0.1", "TCP protocol"));
}

TEST_F(MatchFiltersTest, BlankInARuleMatchesABlankInTheSubject) {
  // A rule read from "TCP?protocol".
  Use(FilterMode::BlackList, {{"<ANY>", "TCP protocol"}});
  EXPECT_TRUE(HiddenFlow("10.0.0.1", "TCP protocol"));
  EXPECT_FALSE(HiddenFlow("10.0.0.1", "UDP protocol"));
}

}  // namespace
}  // namespace corvane
