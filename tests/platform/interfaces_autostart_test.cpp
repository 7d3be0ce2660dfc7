#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/interfaces.h"
#include "platform/autostart.h"

namespace corvane {
namespace {

TEST(InterfacesTest, LoopbackIsListedOnceWithAllItsAddressesAndPrefixes) {
  Status why;
  const std::vector<NetworkInterface> interfaces = ListInterfaces(why);
  ASSERT_TRUE(why.ok) << why.reason;
  int loopbacks = 0;
  for (const NetworkInterface& entry : interfaces) {
    EXPECT_FALSE(entry.name.empty());
    EXPECT_NE(entry.index, 0u) << entry.name;
    if (entry.name != "lo") continue;
    ++loopbacks;
    EXPECT_TRUE(entry.loopback && entry.up);
    EXPECT_NE(std::find(entry.addresses.begin(), entry.addresses.end(), *ParsePrefix("127.0.0.1/8")),
              entry.addresses.end());
    const LocalNetworks networks = NetworksOf(entry);
    EXPECT_TRUE(networks.IsOwnAddress(*ParseIp("127.0.0.1")));
    EXPECT_TRUE(networks.IsLocalArea(*ParseIp("127.3.2.1"))) << "the network of 127.0.0.1/8";
  }
  EXPECT_EQ(loopbacks, 1);
}

// The routing tables as the kernel prints them: a default route that is
// down, a reject route on lo and a worse metric must not win.
TEST(InterfacesTest, DefaultRouteIsTheBestLiveIpv4OneElseTheIpv6One) {
  const std::string ipv4 =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
      "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
      "eth1\t00000000\t0101A8C0\t0002\t0\t0\t10\t00000000\t0\t0\t0\n"
      "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
      "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
  const std::string ipv6 =
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
      "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200       lo\n"
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
      "fe800000000000000000000000000001 00000400 00000003 00000000 00000003     eth2\n";
  EXPECT_EQ(DefaultRouteInterfaceFrom(ipv4, ipv6), "eth0");
  EXPECT_EQ(DefaultRouteInterfaceFrom("", ipv6), "eth2");
  EXPECT_EQ(DefaultRouteInterfaceFrom("garbage\n\t\t\n", ipv6.substr(0, ipv6.find('\n') + 1)), "");
}

TEST(InterfacesTest, SavedInterfaceThatIsGoneFallsBackToTheDefaultAndSaysSo) {
  std::string notice;
  EXPECT_EQ(ChooseWatchedInterface("lo", notice), "lo");
  EXPECT_EQ(notice, "");
  EXPECT_EQ(ChooseWatchedInterface("", notice), DefaultRouteInterface());
  EXPECT_EQ(notice, "");
  EXPECT_EQ(ChooseWatchedInterface("gone0", notice), DefaultRouteInterface());
  EXPECT_NE(notice.find("gone0"), std::string::npos) << notice;
}

TEST(InterfacesTest, DamagedInterfaceNamesAreRefused) {
  EXPECT_TRUE(IsValidInterfaceName("enp0s31f6"));
  for (std::string_view bad : {"", ".", "..", "a/b", "a:1", "a b", "sixteen-bytes-xx", "\x7f"}) {
    EXPECT_FALSE(IsValidInterfaceName(bad)) << bad;
  }
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
  EXPECT_TRUE(EnableAutostart("/opt/corvane/corvane").ok);
  EXPECT_TRUE(IsAutostartEnabled());
  std::ifstream in(AutostartEntryPath());
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find("Exec=\"/opt/corvane/corvane\"\n"), std::string::npos) << text;
  EXPECT_TRUE(DisableAutostart().ok);
  EXPECT_FALSE(IsAutostartEnabled());
  EXPECT_TRUE(std::filesystem::is_directory(config_ + "/autostart"));
  EXPECT_TRUE(DisableAutostart().ok);  // nothing to remove is no failure
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
  EXPECT_FALSE(EnableAutostart("/tmp/evil\nExec=rm").ok);
}

}  // namespace
}  // namespace corvane
