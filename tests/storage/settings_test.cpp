#include "storage/settings.h"

#include <gtest/gtest.h>

#include "platform/net.h"
#include "tests/storage/temp_dir.h"

namespace corvane {
namespace {

constexpr uint32_t kAllOnes = 0xffffffffu;

class SettingsFileTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.File(kSettingsFileName); }
  Settings Startup(const std::string& line) {
    dir_.Write(kSettingsFileName, line);
    Settings settings;
    LoadSettings(Path(), settings);
    return settings;
  }
  SettingsFields Dialog(const std::string& line) {
    dir_.Write(kSettingsFileName, line);
    SettingsFields fields;
    LoadSettings(Path(), fields);
    return fields;
  }
  TempDir dir_;
};

TEST_F(SettingsFileTest, MissingFileKeepsEveryDefault) {
  Settings settings;
  LoadSettings(Path(), settings);
  EXPECT_FALSE(settings.hideLanFlows);
  EXPECT_FALSE(settings.freezeGraph);
  EXPECT_FALSE(settings.proxyEnabled);
  EXPECT_EQ(settings.proxyHost, "");
  EXPECT_EQ(settings.proxyPort, 0);
  EXPECT_EQ(settings.proxyAddress, 0u);
  EXPECT_EQ(settings.interfaceMask, kAllOnes);

  SettingsFields fields;
  fields.hostText = "stale";
  LoadSettings(Path(), fields);
  EXPECT_EQ(fields, SettingsFields{});
}

TEST_F(SettingsFileTest, ExampleLinesReadAsDocumented) {
  Settings a = Startup("0 1 1 10.0.0.5 8080 16777215\r\n");
  EXPECT_FALSE(a.hideLanFlows);
  EXPECT_TRUE(a.freezeGraph);
  EXPECT_TRUE(a.proxyEnabled);
  EXPECT_EQ(a.proxyHost, "10.0.0.5");
  EXPECT_EQ(a.proxyPort, 8080);
  EXPECT_EQ(a.proxyAddress, MakeAddress(10, 0, 0, 5));
  EXPECT_EQ(a.interfaceMask, MakeAddress(255, 255, 255, 0));

  Settings b = Startup("1 0 0 ? ? 4294967295\r\n");
  EXPECT_TRUE(b.hideLanFlows);
  EXPECT_FALSE(b.proxyEnabled);
  EXPECT_EQ(b.proxyHost, "?");  // the window keeps the text as stored
  EXPECT_EQ(b.proxyAddress, kAllOnes);
  EXPECT_EQ(b.interfaceMask, kAllOnes);
}

TEST_F(SettingsFileTest, FewerFieldsLeaveTheRestAtDefaults) {
  Settings settings = Startup("1 0 0\r\n");
  EXPECT_TRUE(settings.hideLanFlows);
  EXPECT_EQ(settings.proxyHost, "");
  EXPECT_EQ(settings.proxyPort, 0);
  EXPECT_EQ(settings.proxyAddress, 0u);  // no host text: not derived at all
  EXPECT_EQ(settings.interfaceMask, kAllOnes);
}

TEST_F(SettingsFileTest, ScanStopsAtTheFirstMismatch) {
  SettingsLine line = ParseSettingsLine("1 x 1 host 80 0");
  EXPECT_EQ(line.fieldsRead, 1);
  EXPECT_EQ(line.hideLanFlows, 1);
  EXPECT_EQ(line.proxyEnabled, 0);

  line = ParseSettingsLine("0 0 1 host 80 mask");
  EXPECT_EQ(line.fieldsRead, 5);
  EXPECT_EQ(line.interfaceMask, kAllOnes);
}

TEST_F(SettingsFileTest, HugeFlagStillReadsAsSet) {
  // Truncating 4294967296 to 32 bits would give 0 and turn the option off.
  Settings settings = Startup("4294967296 0 0\n");
  EXPECT_TRUE(settings.hideLanFlows);
}

TEST_F(SettingsFileTest, PortSeventyThousandGivesPort4464) {
  EXPECT_EQ(Startup("0 0 1 10.0.0.5 70000 0").proxyPort, 4464);
  EXPECT_EQ(ProxyPortFromText("8080x"), 8080);
  EXPECT_EQ(ProxyPortFromText("x8080"), 0);
  EXPECT_EQ(ProxyPortFromText(""), 0);
  EXPECT_EQ(ProxyPortFromText("65536"), 0);
  EXPECT_EQ(ProxyPortFromText("99999999999999999999"), 65535);  // 10^20 - 1 mod 65536
  EXPECT_EQ(ProxyPortFromText("-1"), 65535);
}

TEST_F(SettingsFileTest, QuestionMarkHostEmptiesBothBoxesOfTheDialog) {
  SettingsFields fields = Dialog("0 0 0 ? 8080 4294967295\r\n");
  EXPECT_EQ(fields.hostText, "");
  EXPECT_EQ(fields.portText, "");  // the port is lost, as stored

  fields = Dialog("0 0 1 proxy.test 3128 16777215\r\n");
  EXPECT_TRUE(fields.proxyEnabled);
  EXPECT_EQ(fields.hostText, "proxy.test");
  EXPECT_EQ(fields.portText, "3128");
  EXPECT_EQ(fields.interfaceMask, MakeAddress(255, 255, 255, 0));
}

TEST_F(SettingsFileTest, EmptyBoxesAreWrittenAsQuestionMarkPairs) {
  SettingsFields fields;
  fields.hostText = "10.0.0.5";
  EXPECT_EQ(FormatSettingsLine(fields), "0 0 0 ? ? 4294967295");  // port empty: both "?"
  fields.hostText = "";
  fields.portText = "8080";
  EXPECT_EQ(FormatSettingsLine(fields), "0 0 0 ? 8080 4294967295");
}

TEST_F(SettingsFileTest, SavedFieldsReadBackUnchanged) {
  SettingsFields fields;
  fields.hideLanFlows = true;
  fields.proxyEnabled = true;
  fields.hostText = "10.0.0.5";
  fields.portText = "8080x";
  fields.interfaceMask = MakeAddress(255, 255, 240, 0);
  ASSERT_TRUE(SaveSettings(Path(), fields).ok);
  EXPECT_EQ(dir_.Read(kSettingsFileName), "1 0 1 10.0.0.5 8080x 15794175\r\n");
  SettingsFields back;
  LoadSettings(Path(), back);
  EXPECT_EQ(back, fields);
}

// The watched interface's name follows the six fields, so an older build
// still reads them; a file without it (an older build's) reads as before,
// and a damaged name is dropped without touching the six fields.
TEST_F(SettingsFileTest, InterfaceNameRoundTripsAfterTheSixFieldsOlderFilesStillRead) {
  SettingsFields fields;
  fields.hostText = "10.0.0.5";
  fields.portText = "8080";
  fields.interfaceMask = MakeAddress(255, 255, 255, 0);
  fields.interfaceName = "enp0s31f6";
  ASSERT_TRUE(SaveSettings(Path(), fields).ok);
  EXPECT_EQ(dir_.Read(kSettingsFileName), "0 0 0 10.0.0.5 8080 16777215 enp0s31f6\r\n");
  SettingsFields back;
  LoadSettings(Path(), back);
  EXPECT_EQ(back, fields);
  EXPECT_EQ(Startup(dir_.Read(kSettingsFileName)).interfaceName, "enp0s31f6");

  const Settings old = Startup("1 0 0 ? ? 16777215\r\n");
  EXPECT_TRUE(old.hideLanFlows);
  EXPECT_EQ(old.interfaceMask, MakeAddress(255, 255, 255, 0));
  EXPECT_EQ(old.interfaceName, "");

  for (const std::string damaged : {"a/b", "far-too-long-a-name", "a:1", "e\x01th"}) {
    const SettingsLine line = ParseSettingsLine("1 0 0 ? ? 16777215 " + damaged);
    EXPECT_EQ(line.fieldsRead, 6) << damaged;
    EXPECT_EQ(line.interfaceName, "") << damaged;
    EXPECT_EQ(line.interfaceMask, MakeAddress(255, 255, 255, 0)) << damaged;
  }
  fields.interfaceName = "bad name";
  EXPECT_EQ(FormatSettingsLine(fields), "0 0 0 10.0.0.5 8080 16777215") << "never written damaged";
}

TEST_F(SettingsFileTest, WhiteSpaceOrOverlongTextCannotShiftTheFields) {
  SettingsFields fields;
  fields.proxyEnabled = true;
  fields.hostText = "  proxy.test  1 1";
  fields.portText = "80 80";
  fields.interfaceMask = MakeAddress(255, 255, 255, 0);
  SettingsLine line = ParseSettingsLine(FormatSettingsLine(fields));
  ASSERT_EQ(line.fieldsRead, 6);
  EXPECT_EQ(line.hostText, "proxy.test");
  EXPECT_EQ(line.portText, "80");
  EXPECT_EQ(line.interfaceMask, fields.interfaceMask);

  fields.hostText = std::string(400, 'h');
  fields.portText = "3128\n0 0 0";
  line = ParseSettingsLine(FormatSettingsLine(fields));
  ASSERT_EQ(line.fieldsRead, 6);
  EXPECT_EQ(line.hostText, std::string(kMaxSettingsWord, 'h'));
  EXPECT_EQ(line.portText, "3128");
  EXPECT_LE(FormatSettingsLine(fields).size(), 1022u);
}

TEST_F(SettingsFileTest, FailedSaveLeavesTheOldFileWhole) {
  dir_.Write(kSettingsFileName, "1 1 1 10.0.0.5 8080 0\r\n");
  SettingsFields fields;
  // A directory in the way of the temporary file's rename: the write fails.
  EXPECT_FALSE(SaveSettings(dir_.File("missing/set.dat"), fields).ok);
  EXPECT_EQ(dir_.Read(kSettingsFileName), "1 1 1 10.0.0.5 8080 0\r\n");
}

TEST_F(SettingsFileTest, HostNameIsResolvedAtStartOnlyWhileTheProxyIsOn) {
  Settings on = Startup("0 0 1 localhost 3128 4294967295\r\n");
  EXPECT_EQ(on.proxyHost, "localhost");
  EXPECT_EQ(on.proxyAddress, MakeAddress(127, 0, 0, 1));
  EXPECT_EQ(on.proxyPort, 3128);

  Settings off = Startup("0 0 0 localhost 3128 4294967295\r\n");
  EXPECT_EQ(off.proxyAddress, kAllOnes);

  Settings unknown = Startup("0 0 1 no-such-host.invalid 3128 4294967295\r\n");
  EXPECT_EQ(unknown.proxyAddress, kAllOnes);
}

TEST(ResolveProxyHostTest, AddressNotationIsUsedUnchanged) {
  ResolvedProxy shorthand = ResolveProxyHost("10.1");
  ASSERT_TRUE(shorthand.found);
  EXPECT_EQ(shorthand.address, MakeAddress(10, 0, 0, 1));
  EXPECT_EQ(shorthand.dottedText, "10.1");

  ResolvedProxy name = ResolveProxyHost("localhost");
  ASSERT_TRUE(name.found);
  EXPECT_EQ(name.dottedText, "127.0.0.1");

  EXPECT_FALSE(ResolveProxyHost("").found);
  EXPECT_FALSE(ResolveProxyHost("proxy .test").found);
  EXPECT_EQ(ProxyAddressFromText("not an address"), kAllOnes);
}

}  // namespace
}  // namespace corvane
