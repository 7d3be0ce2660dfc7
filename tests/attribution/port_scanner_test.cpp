// The port scanner on a fake /proc: labels, what a pass replaces, keeps and
// forgets, the owner cache, and the thread's start and stop.
#include "support/test_env.h"
#include "attribution/port_scanner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "engine/monitor.h"
#include "platform/clock.h"
#include "tests/attribution/fake_proc.h"

namespace corvane {
namespace {

using corvane::testing::FakeProc;

TEST(ProcessLabelTest, NameAndProcessIdAreJoinedByAColon) {
  EXPECT_EQ(ProcessLabel("firefox", 4242), "firefox:4242");
  EXPECT_EQ(ProcessIdLabel(17), "Process ID# 17");
}

TEST(ProcessLabelTest, OverlongNameIsCutButProcessIdKept) {
  const std::string label = ProcessLabel(std::string(255, 'n'), 123456);
  EXPECT_EQ(label.size(), kMaxProcessLabel);
  EXPECT_EQ(label, std::string(243 - 7, 'n') + ":123456");
}

TEST(ProcessLabelTest, CutNeverSplitsAMultibyteCharacter) {
  // 120 two-byte characters: 237 bytes would end inside one.
  std::string name;
  for (int i = 0; i < 120; ++i) name += "\xc3\xa9";
  const std::string label = ProcessLabel(name, 10000);  // ":10000" leaves 237 bytes
  EXPECT_EQ(label, name.substr(0, 236) + ":10000");
}

class PortScannerTest : public ::testing::Test {
 protected:
  PortScannerTest() : env_(proc_.root()), scanner_(map_, env_) { map_.SetActive(true); }

  std::optional<std::string> Label(uint16_t port) { return map_.Lookup(6, FakeProc::kLocal, port); }
  std::optional<std::string> UdpLabel(uint16_t port) {
    return map_.Lookup(17, FakeProc::kLocal, port);
  }

  FakeProc proc_;
  PortProcessMap map_;
  testing::ProcRootEnv env_;
  PortScanner scanner_;
};

TEST_F(PortScannerTest, OwnersSocketGetsProgramNameAndProcessId) {
  proc_.AddProcess(300, "/usr/lib/firefox/firefox");
  proc_.AddOtherFd(300, 0, "/dev/null");
  proc_.AddOtherFd(300, 1, "pipe:[999]");
  proc_.AddSocket(300, 7, 5001);
  proc_.SetTcp({{4242, 5001}});
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(4242), "firefox:300");
}

TEST_F(PortScannerTest, ClosingConnectionWithoutOwnerNeverReplacesAKnownLabel) {
  proc_.AddProcess(10, "/usr/bin/curl");
  proc_.AddSocket(10, 3, 1000);
  proc_.SetTcp({{41670, 1000}});
  ASSERT_TRUE(scanner_.RunPass());
  // TIME_WAIT: the row stays, with inode 0, after curl closed and ended.
  proc_.RemoveProcess(10);
  proc_.SetTcp({{41670, 0}, {41671, 0}});
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(41670), "curl:10");
  EXPECT_FALSE(Label(41671).has_value()) << "a row without owner is no process 0";
}

TEST_F(PortScannerTest, TcpAndUdpOnOnePortNumberKeepTheirOwnLabels) {
  proc_.AddProcess(10, "/usr/bin/tcpd");
  proc_.AddProcess(20, "/usr/bin/udpd");
  proc_.AddSocket(10, 3, 1000);
  proc_.AddSocket(20, 3, 2000);
  proc_.SetTcp({{53, 1000}});
  proc_.SetUdp({{53, 2000}});
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(53), "tcpd:10");
  EXPECT_EQ(UdpLabel(53), "udpd:20");
}

TEST_F(PortScannerTest, LaterRowOfOneTableReplacesEarlierRow) {
  proc_.AddProcess(10, "/usr/bin/first");
  proc_.AddProcess(20, "/usr/bin/second");
  proc_.AddSocket(10, 3, 1000);
  proc_.AddSocket(20, 3, 2000);
  proc_.SetTcp({{8080, 1000}, {8080, 2000}});
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(8080), "second:20");
}

TEST_F(PortScannerTest, ReplacedExecutableLosesTheDeletedMark) {
  proc_.AddProcess(10, "/opt/app/server (deleted)");
  proc_.AddSocket(10, 3, 1000);
  proc_.SetTcp({{9000, 1000}});
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(9000), "server:10");
}

TEST_F(PortScannerTest, ProcessWithoutExeLinkIsNamedByComm) {
  proc_.AddProcess(10, "", "dhclient");
  proc_.AddSocket(10, 3, 1000);
  proc_.SetUdp({{68, 1000}});
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(UdpLabel(68), "dhclient:10");
}

TEST_F(PortScannerTest, OwnerWithoutAnyNameIsLabelledByProcessId) {
  proc_.AddProcess(10, "");
  proc_.AddSocket(10, 3, 1000);
  proc_.SetUdp({{68, 1000}});
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(UdpLabel(68), "Process ID# 10");
}

TEST_F(PortScannerTest, SocketWhoseOwnerCannotBeReadLeavesTheEntryAsItWas) {
  map_.Store(6, FakeProc::kLocal, 5432, "postgres:77");
  proc_.SetTcp({{5432, 31337}});  // no readable process holds 31337
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(5432), "postgres:77");
  EXPECT_EQ(scanner_.LastPassStats().leftAsIs, 1u);
  EXPECT_FALSE(Label(5433).has_value());
}

TEST_F(PortScannerTest, PortOfAnEndedProgramIsForgottenThenNamedAfterTheNextOne) {
  proc_.AddProcess(10, "/usr/bin/curl");
  proc_.AddSocket(10, 3, 1000);
  proc_.SetTcp({{50000, 1000}});
  ASSERT_TRUE(scanner_.RunPass());
  proc_.SetTcp({});
  proc_.RemoveProcess(10);
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_FALSE(Label(50000).has_value());
  proc_.AddProcess(11, "/usr/bin/wget");
  proc_.AddSocket(11, 3, 1100);
  proc_.SetTcp({{50000, 1100}});
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(50000), "wget:11");
}

class OwnerCacheTest : public PortScannerTest {
 protected:
  void SetUp() override {
    for (int pid = 100; pid < 110; ++pid) {
      proc_.AddProcess(pid, "/usr/bin/p" + std::to_string(pid));
      proc_.AddSocket(pid, 3, static_cast<uint64_t>(pid) * 10);
      tcp_.push_back({static_cast<uint16_t>(pid), static_cast<uint64_t>(pid) * 10});
    }
    proc_.SetTcp(tcp_);
    ASSERT_TRUE(scanner_.RunPass());
    ASSERT_EQ(scanner_.LastPassStats().fdDirectoriesRead, 10u);
  }
  std::vector<std::pair<uint16_t, uint64_t>> tcp_;
};

TEST_F(OwnerCacheTest, UnchangedPassReadsNoFdDirectory) {
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(scanner_.LastPassStats().fdDirectoriesRead, 0u);
  EXPECT_EQ(scanner_.LastPassStats().stored, 10u);
  EXPECT_EQ(Label(105), "p105:105");
}

TEST_F(OwnerCacheTest, NewProcessIsReadAloneAndLabelled) {
  proc_.AddProcess(200, "/usr/bin/newcomer");
  proc_.AddSocket(200, 4, 2000);
  tcp_.push_back({2000, 2000});
  proc_.SetTcp(tcp_);
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(scanner_.LastPassStats().fdDirectoriesRead, 1u);
  EXPECT_EQ(Label(2000), "newcomer:200");
}

TEST_F(OwnerCacheTest, NewSocketOfKnownProcessIsFoundInTheSamePass) {
  proc_.AddSocket(103, 9, 777);
  tcp_.push_back({7777, 777});
  proc_.SetTcp(tcp_);
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(7777), "p103:103");
  // Found, so the next pass has nothing to look for.
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(scanner_.LastPassStats().fdDirectoriesRead, 0u);
}

TEST_F(OwnerCacheTest, UnreadableOwnerIsNotLookedForAgainEveryPass) {
  tcp_.push_back({6000, 424242});
  proc_.SetTcp(tcp_);
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(scanner_.LastPassStats().fdDirectoriesRead, 10u);
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(scanner_.LastPassStats().fdDirectoriesRead, 0u);
  EXPECT_EQ(scanner_.LastPassStats().leftAsIs, 1u);
}

TEST_F(OwnerCacheTest, SocketOfAProcessThatLeftPassesToItsHeir) {
  // 101 inherited 100's socket over fork; 100 keeps it while alive.
  proc_.AddSocket(101, 5, 1000);
  tcp_.push_back({1000, 1000});  // port 1000, socket 1000 held by both
  proc_.SetTcp(tcp_);
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(1000), "p100:100");
  proc_.RemoveProcess(100);
  tcp_.erase(tcp_.begin());  // 100's own socket went with it
  proc_.SetTcp(tcp_);
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(1000), "p101:101");
}

TEST_F(OwnerCacheTest, RecycledProcessIdGetsTheNewProgramName) {
  proc_.RemoveProcess(104);
  ASSERT_TRUE(scanner_.RunPass());
  proc_.AddProcess(104, "/usr/bin/reborn");
  proc_.AddSocket(104, 3, 9999);
  tcp_[4] = {104, 9999};
  proc_.SetTcp(tcp_);
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(104), "reborn:104");
}

TEST_F(OwnerCacheTest, ProcessIdReusedBetweenPassesIsReadAgainForItsNewSocket) {
  // 104 ended and a new 104 started before the next pass could notice.
  proc_.RemoveProcess(104);
  proc_.AddProcess(104, "/usr/bin/reborn");
  proc_.AddSocket(104, 3, 9999);
  tcp_[4] = {104, 9999};
  proc_.SetTcp(tcp_);
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(104), "reborn:104");
}

TEST_F(OwnerCacheTest, HolderOfOneNewSocketIsFoundWithoutReadingEveryProcess) {
  ProcessTable table(proc_.root());
  table.Refresh({});
  proc_.AddProcess(150, "/usr/bin/idle");
  proc_.AddProcess(200, "/usr/bin/newcomer");
  proc_.AddSocket(200, 4, 2000);
  size_t before = table.fdDirectoriesRead();
  EXPECT_EQ(table.FindHolder(2000, ::geteuid()), 200);
  EXPECT_EQ(table.fdDirectoriesRead() - before, 1u) << "the newest process comes first";
  // A known process that opened a socket lately comes before the others.
  proc_.AddSocket(200, 5, 2001);
  before = table.fdDirectoriesRead();
  EXPECT_EQ(table.FindHolder(2001, ::geteuid()), 200);
  EXPECT_EQ(table.fdDirectoriesRead() - before, 2u) << "150 (new), then 200";
  // Held by no readable process: every one is read once, then never again.
  EXPECT_FALSE(table.FindHolder(4040, ::geteuid()).has_value());
  before = table.fdDirectoriesRead();
  EXPECT_FALSE(table.FindHolder(4040, ::geteuid()).has_value());
  EXPECT_EQ(table.fdDirectoriesRead(), before);
}

class PortScanThreadTest : public PortScannerTest {};

TEST_F(PortScanThreadTest, UnreadableTablesLeaveAttributionOff) {
  map_.SetActive(false);
  proc_.RemoveTable("tcp");
  const Status started = scanner_.Start();
  EXPECT_FALSE(started.ok);
  EXPECT_NE(started.reason.find("/net/tcp: "), std::string::npos) << started.reason;
  EXPECT_FALSE(map_.Active());
}

TEST_F(PortScanThreadTest, StopEndsTheThreadAndKeepsTheMap) {
  proc_.AddProcess(10, "/usr/sbin/nginx");
  proc_.AddSocket(10, 3, 1000);
  proc_.SetTcp({{80, 1000}});
  map_.Store(6, FakeProc::kLocal, 80, "nginx:10");  // what the pass, if it runs, finds too
  ASSERT_TRUE(scanner_.Start().ok);
  EXPECT_TRUE(map_.Active());
  scanner_.Stop();
  EXPECT_TRUE(scanner_.ThreadEnded());
  EXPECT_FALSE(map_.Active());
  map_.SetActive(true);
  EXPECT_EQ(Label(80), "nginx:10");
}

TEST_F(PortScanThreadTest, FailedTableReadEndsScanningButAttributionStaysActive) {
  proc_.AddProcess(10, "/usr/bin/sshd");
  proc_.AddSocket(10, 3, 1000);
  proc_.SetTcp({{22, 1000}});
  ASSERT_TRUE(scanner_.RunPass());
  std::string reason;  // written by the scan thread, read after its join
  scanner_.SetStoppedHandler([&reason](const Status& why) { reason = why.reason; });
  ASSERT_TRUE(scanner_.Start().ok);
  proc_.RemoveTable("udp");
  scanner_.WaitForThreadEnd();
  EXPECT_TRUE(scanner_.ThreadEnded());
  EXPECT_NE(reason.find("udp"), std::string::npos) << "the user hears why: " << reason;
  EXPECT_TRUE(map_.Active());
  EXPECT_EQ(Label(22), "sshd:10");
}

TEST_F(PortScanThreadTest, StartAgainAfterAFailedReadScansAgain) {
  ASSERT_TRUE(scanner_.Start().ok);
  proc_.RemoveTable("udp");
  scanner_.WaitForThreadEnd();
  proc_.SetUdp({});
  ASSERT_TRUE(scanner_.Start().ok);
  EXPECT_FALSE(scanner_.ThreadEnded());
  scanner_.Stop();
  EXPECT_TRUE(scanner_.ThreadEnded());
}

TEST_F(PortScanThreadTest, MonitorStopStopsAttributionFirst) {
  // The Monitor's own scanner reads the real /proc.
  ManualClock clock;
  testing::TestEnv env(clock);
  Monitor monitor(env, ".");
  ASSERT_TRUE(monitor.StartAttribution().ok);
  EXPECT_TRUE(monitor.AttributionActive());
  monitor.Stop();
  EXPECT_FALSE(monitor.AttributionActive());
}

}  // namespace
}  // namespace corvane
