#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/adapters.h"
#include "platform/autostart.h"

namespace corvane {
namespace {

TEST(AdaptersTest, LoopbackIsListedOnceWithItsFirstAddressAndMask) {
  std::vector<InterfaceEntry> entries;
  std::string error;
  ASSERT_TRUE(ListInterfaces(entries, error)) << error;
  int loopbacks = 0;
  for (const InterfaceEntry& entry : entries) {
    EXPECT_FALSE(entry.description.empty());
    EXPECT_FALSE(entry.addressText.empty());
    if (entry.description == "lo") {
      ++loopbacks;
      EXPECT_EQ(entry.addressText, "127.0.0.1");
      EXPECT_EQ(entry.maskText, "255.0.0.0");
    }
  }
  EXPECT_EQ(loopbacks, 1);
}

// Points the autostart folder at a temporary directory for one test.
class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-xdg-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    config_ = pattern;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    if (old) saved_ = old;
    hadValue_ = old != nullptr;
    ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
  }
  void TearDown() override {
    if (hadValue_) {
      ::setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
    std::filesystem::remove_all(config_);
  }
  std::string config_;
  std::string saved_;
  bool hadValue_ = false;
};

TEST_F(AutostartTest, EnableCreatesTheFolderAndDisableRemovesOnlyTheEntry) {
  EXPECT_EQ(AutostartEntryPath(), config_ + "/autostart/corvaneapp.desktop");
  EXPECT_FALSE(IsAutostartEnabled());
  EXPECT_EQ(EnableAutostart("/opt/corvane/corvane"), "");
  EXPECT_TRUE(IsAutostartEnabled());
  std::ifstream in(AutostartEntryPath());
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find("Exec=\"/opt/corvane/corvane\"\n"), std::string::npos) << text;
  EXPECT_EQ(DisableAutostart(), "");
  EXPECT_FALSE(IsAutostartEnabled());
  EXPECT_TRUE(std::filesystem::is_directory(config_ + "/autostart"));
  EXPECT_EQ(DisableAutostart(), "");  // nothing to remove is no failure
}

TEST_F(AutostartTest, EntryOfAnyContentCountsAsEnabled) {
  std::filesystem::create_directories(config_ + "/autostart");
  std::ofstream(config_ + "/autostart/corvaneapp.desktop") << "garbage";
  EXPECT_TRUE(IsAutostartEnabled());
}

TEST(AutostartEntryTextTest, PathWithBlanksAndSpecialCharactersIsQuotedAndEscaped) {
  std::string text = AutostartEntryText("/home/a b/100%/x\"$y");
  // Exec-level escapes (\" and \$), then every backslash doubled for the
  // string value; "%" doubled.
  EXPECT_NE(text.find("Exec=\"/home/a b/100%%/x\\\\\"\\\\$y\"\n"), std::string::npos) << text;
}

TEST(AutostartEntryTextTest, PathWithALineBreakIsRefused) {
  EXPECT_NE(EnableAutostart("/tmp/evil\nExec=rm"), "");
}

}  // namespace
}  // namespace corvane
