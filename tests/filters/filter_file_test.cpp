// The filter file: its text form, and writing and loading real files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "filters/filter_set.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

FilterSet Read(std::string_view text) { return ReadFilterText(text); }

std::vector<FilterRule> RoundTrip(const std::vector<FilterRule>& rules) {
  return ReadFilterText(FormatFilterText(FilterMode::BlackList, rules)).rules;
}

// ------------------------------------------------------------ the mode line

TEST(FilterTextTest, LeadingNumberOneIsTheOnlyBlackList) {
  struct Case {
    const char* modeLine;
    FilterMode mode;
  };
  const Case cases[] = {
      {"1", FilterMode::BlackList},    {" 1", FilterMode::BlackList},
      {"\t+1", FilterMode::BlackList}, {"1 trailing words", FilterMode::BlackList},
      {"001", FilterMode::BlackList},  {"2", FilterMode::WhiteList},
      {"0", FilterMode::WhiteList},    {"", FilterMode::WhiteList},
      {"x", FilterMode::WhiteList},    {"-1", FilterMode::WhiteList},
      {"+ 1", FilterMode::WhiteList},  {"x1", FilterMode::WhiteList},
      // Must not wrap around to 1.
      {"18446744073709551617", FilterMode::WhiteList},
      {"4294967297", FilterMode::WhiteList},
  };
  for (const Case& c : cases) {
    FilterSet filters = Read(std::string(c.modeLine) + "\r\nfoo bar\r\n");
    EXPECT_EQ(filters.mode, c.mode) << "mode line \"" << c.modeLine << "\"";
    EXPECT_EQ(filters.rules.size(), 1u) << "mode line \"" << c.modeLine << "\"";
  }
}

TEST(FilterTextTest, EmptyFileIsAWhiteListWithoutRules) {
  FilterSet filters = Read("");
  EXPECT_EQ(filters.mode, FilterMode::WhiteList);
  EXPECT_TRUE(filters.rules.empty());
}

TEST(FilterTextTest, ModeLineAloneIsAnEmptyList) {
  EXPECT_EQ(FormatFilterText(FilterMode::WhiteList, {}), "2\r\n");
  FilterSet filters = Read("1\r\n");
  EXPECT_EQ(filters.mode, FilterMode::BlackList);
  EXPECT_TRUE(filters.rules.empty());
}

// ------------------------------------------------------------ rule lines

TEST(FilterTextTest, ExampleFileIsWrittenByteForByte) {
  std::string text = FormatFilterText(
      FilterMode::BlackList, {{"10.1.1", "iexplorer"}, {"<ANY>", "Process ID"}});
  EXPECT_EQ(text, "1\r\n10.1.1 iexplorer\r\n<ANY> Process?ID\r\n");
}

TEST(FilterTextTest, BlanksSurviveTheRoundTripAsQuestionMarks) {
  std::vector<FilterRule> rules{{"Internet Explorer", "Process ID"}, {" lead", "trail "}};
  EXPECT_EQ(RoundTrip(rules), rules);
}

TEST(FilterTextTest, QuestionMarkOfARuleReadsBackAsBlank) {
  EXPECT_EQ(RoundTrip({{"what?", "a?b"}}), (std::vector<FilterRule>{{"what ", "a b"}}));
}

TEST(FilterTextTest, EmptyTextIsWrittenAsAnySoTheLineKeepsTwoWords) {
  EXPECT_EQ(FormatFilterText(FilterMode::BlackList, {{"", "x"}, {"y", ""}}),
            "1\r\n<ANY> x\r\ny <ANY>\r\n");
  EXPECT_EQ(RoundTrip({{"", ""}}), (std::vector<FilterRule>{{"<ANY>", "<ANY>"}}));
}

TEST(FilterTextTest, TabInsideARuleTextCannotSplitTheRule) {
  // Written as a blank: the local-source text stays the second word.
  EXPECT_EQ(RoundTrip({{"a\tb", "c"}}), (std::vector<FilterRule>{{"a b", "c"}}));
}

TEST(FilterTextTest, LineBreakInsideARuleTextCannotAddARule) {
  std::vector<FilterRule> read = RoundTrip({{"evil\r\n1.2.3.4", "x\ny"}});
  EXPECT_EQ(read, (std::vector<FilterRule>{{"evil  1.2.3.4", "x y"}}));
}

TEST(FilterTextTest, LongRuleTextsAreNotCut) {
  std::string remote(3000, 'r');
  std::string local(1000, 'l');
  local[500] = ' ';
  EXPECT_EQ(RoundTrip({{remote, local}, {"next", "rule"}}),
            (std::vector<FilterRule>{{remote, local}, {"next", "rule"}}));
}

TEST(FilterTextTest, LineEndsOfAnyKindReadTheSame) {
  std::vector<FilterRule> expected{{"a", "b"}, {"c", "d"}};
  for (const char* text : {"1\r\na b\r\nc d\r\n", "1\na b\nc d\n", "1\r\r\na b\r\r\nc d\r\r\n",
                           "1\na b\nc d"}) {
    FilterSet filters = Read(text);
    EXPECT_EQ(filters.mode, FilterMode::BlackList) << text;
    EXPECT_EQ(filters.rules, expected) << text;
  }
}

TEST(FilterTextTest, HandEditedLinesAreReadSensibly) {
  FilterSet filters = Read("1\n\n   \t\nonlyone\nfirst second third\n  spaced\tout  \n");
  EXPECT_EQ(filters.rules, (std::vector<FilterRule>{
                               {"onlyone", "<ANY>"}, {"first", "second"}, {"spaced", "out"}}));
}

TEST(FilterTextTest, BytesOutsideAsciiAreKeptAsTheyAre) {
  std::vector<FilterRule> rules{{"caf\xc3\xa9", "\xff\x01\x7f"}};
  EXPECT_EQ(RoundTrip(rules), rules);
}

// ------------------------------------------------------------ real files

class FilterFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("corvane_filters_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = FilterFilePath(dir_.string());
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string Contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  size_t FilesInDirectory() const {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++count;
    return count;
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(FilterFileTest, WrittenFileLoadsBackTheSameRules) {
  std::vector<FilterRule> rules{{"10.1.1", "iexplorer"}, {"<ANY>", "Process ID"}};
  ASSERT_TRUE(WriteFilterFile(path_, FilterMode::BlackList, rules));
  EXPECT_EQ(path_, (dir_ / "filters.dat").string());
  FilterLoadResult loaded = LoadFilterSet(path_);
  EXPECT_EQ(loaded.status, FilterLoadStatus::Loaded);
  EXPECT_EQ(loaded.filters.mode, FilterMode::BlackList);
  EXPECT_EQ(loaded.filters.rules, rules);
  EXPECT_EQ(FilesInDirectory(), 1u) << "no temporary file may be left behind";
}

TEST_F(FilterFileTest, MissingFileHidesNothing) {
  FilterLoadResult loaded = LoadFilterSet(path_);
  EXPECT_EQ(loaded.status, FilterLoadStatus::Missing);
  EXPECT_TRUE(loaded.filters.rules.empty());
  EXPECT_FALSE(MatchFilters(loaded.filters, "1.2.3.4", "1.2.3.4", "TCP protocol"));
}

TEST_F(FilterFileTest, DirectoryInPlaceOfTheFileIsUnreadableNotACrash) {
  fs::create_directory(path_);
  FilterLoadResult loaded = LoadFilterSet(path_);
  EXPECT_EQ(loaded.status, FilterLoadStatus::Unreadable);
  EXPECT_FALSE(loaded.read.reason.empty());
  EXPECT_TRUE(loaded.filters.rules.empty());
  auto failure = WriteFilterFile(path_, FilterMode::BlackList, {{"a", "b"}});
  ASSERT_FALSE(failure);
  EXPECT_NE(failure.reason.find(path_), std::string::npos) << failure.reason;
  EXPECT_TRUE(fs::is_directory(path_));
}

TEST_F(FilterFileTest, RewriteReplacesTheWholeOldContent) {
  std::vector<FilterRule> many(50, FilterRule{"long-remote-text", "long-local-text"});
  ASSERT_TRUE(WriteFilterFile(path_, FilterMode::BlackList, many));
  ASSERT_TRUE(WriteFilterFile(path_, FilterMode::WhiteList, {{"x", "y"}}));
  EXPECT_EQ(Contents(), "2\r\nx y\r\n");
}

TEST_F(FilterFileTest, FailureInAMissingDirectoryNamesTheFullPath) {
  std::string path = FilterFilePath((dir_ / "no" / "such").string());
  auto failure = WriteFilterFile(path, FilterMode::BlackList, {});
  ASSERT_FALSE(failure);
  EXPECT_NE(failure.reason.find(path), std::string::npos) << failure.reason;
  EXPECT_TRUE(failure.Missing()) << failure.reason;
}

TEST_F(FilterFileTest, WriteThatFailsHalfwayLeavesTheOldFileWhole) {
  ASSERT_TRUE(WriteFilterFile(path_, FilterMode::BlackList, {{"keep", "me"}}));
  const std::string before = Contents();

  // A file-size limit makes the write fail part way, even for root.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  auto failure = WriteFilterFile(path_, FilterMode::WhiteList,
                                 {{std::string(4096, 'a'), std::string(4096, 'b')}});
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  ASSERT_FALSE(failure);
  EXPECT_NE(failure.reason.find(path_), std::string::npos) << failure.reason;
  EXPECT_EQ(Contents(), before);
  EXPECT_EQ(FilesInDirectory(), 1u) << "the half-written temporary file must be removed";
}

TEST_F(FilterFileTest, RewriteKeepsTheFilesPermissions) {
  ASSERT_TRUE(WriteFilterFile(path_, FilterMode::BlackList, {}));
  fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(WriteFilterFile(path_, FilterMode::BlackList, {{"a", "b"}}));
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
}  // namespace corvane
