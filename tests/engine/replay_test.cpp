// Replaying a capture file that the test writes itself.
#include "tools/replay.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "engine/protocol_names.h"
#include "engine/text_format.h"
#include "platform/pcap_writer.h"
#include "storage/traffic_log.h"
#include "support/datagram_builder.h"

namespace corvane {
namespace {

using testing::BuildDatagram;
using testing::EthernetFrame;

class ReplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    dir_ = std::filesystem::temp_directory_path() /
           ("corvane-replay-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // What corvane-cli prints on its standard output for `arguments`.
  static std::string RunCli(const std::string& arguments) {
    std::string out;
    FILE* pipe = ::popen((std::string(CORVANE_CLI) + " " + arguments).c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    ::pclose(pipe);
    return out;
  }

  // 2005-03-07 23:00:00 UTC.
  static constexpr int64_t kEvening = 1110196800 + 11 * 3600;
  const uint32_t kMe = MakeAddress(192, 168, 1, 10);
  std::filesystem::path dir_;
};

TEST_F(ReplayTest, CountsEqualWhatTheFileHolds) {
  const uint32_t me = MakeAddress(192, 168, 1, 10);
  const std::string path = (dir_ / "mixed.pcap").string();
  PcapWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(path, 1, error)) << error;
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> expected;  // down, up
  uint64_t down = 0, up = 0;
  std::map<std::pair<uint32_t, std::string>, uint64_t> rowDownload;  // by address and source
  const int64_t start = 1110196800;
  for (int i = 0; i < 3000; ++i) {
    uint32_t remote = MakeAddress(10, 1, static_cast<uint8_t>(i % 7), static_cast<uint8_t>(i % 13));
    uint8_t protocol = i % 3 == 0 ? 6 : (i % 3 == 1 ? 17 : 1);
    bool isUpload = i % 2 == 0;
    auto d = BuildDatagram({isUpload ? me : remote, isUpload ? remote : me, protocol,
                            static_cast<uint16_t>(1000 + i % 5), 80, static_cast<size_t>(i % 200)});
    uint32_t len = static_cast<uint32_t>(d.size());
    (isUpload ? expected[remote].second : expected[remote].first) += len;
    if (!isUpload) rowDownload[{remote, ProtocolSourceText(protocol)}] += len;
    (isUpload ? up : down) += len;
    ASSERT_TRUE(writer.Write(start + i / 100, (i % 100) * 10000, EthernetFrame(d)));
  }
  // Traffic of other hosts and a runt frame must not count.
  ASSERT_TRUE(writer.Write(start + 30, 0, EthernetFrame(BuildDatagram(
      {MakeAddress(10, 9, 9, 9), MakeAddress(10, 9, 9, 8), 17, 1, 2, 10}))));
  ASSERT_TRUE(writer.Write(start + 30, 1, EthernetFrame(std::vector<uint8_t>(10, 0x45))));
  ASSERT_TRUE(writer.Close());

  ManualClock clock;
  Monitor monitor(clock, dir_.string());
  monitor.settings().interfaceAddress = me;
  ReplayResult result = ReplayCaptureFile(path, monitor, clock);
  ASSERT_TRUE(result.ok) << result.error;

  auto flows = monitor.flows().AddressTotals();
  ASSERT_EQ(flows.size(), expected.size());
  for (const AddressTotal& flow : flows) {
    EXPECT_EQ(flow.counts.downloadBytes, expected[flow.remoteAddress.V4Value()].first);
    EXPECT_EQ(flow.counts.uploadBytes, expected[flow.remoteAddress.V4Value()].second);
  }
  EXPECT_EQ(monitor.counters().totalDownloadBytes, down);
  EXPECT_EQ(monitor.counters().totalUploadBytes, up);

  // Every event was shown: one row per address and local source.
  TrafficList::Lock lock(monitor.list());
  EXPECT_EQ(monitor.packetQueue().Size(), 0u);
  for (const RowCells& row : monitor.list().Rows()) {
    auto address = ParseInetAddr(row[kColumnRemoteIp]);
    ASSERT_TRUE(address);
    EXPECT_EQ(row[kColumnDownload],
              FormatByteCount(rowDownload[{*address, row[kColumnLocalSource]}]));
  }
}

TEST_F(ReplayTest, FileThatIsNotACaptureGivesOneErrorLine) {
  const std::string path = (dir_ / "notes.txt").string();
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs("hello\n", f);
  std::fclose(f);
  ManualClock clock;
  Monitor monitor(clock, dir_.string());
  ReplayResult result = ReplayCaptureFile(path, monitor, clock);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error.find('\n'), std::string::npos);
  EXPECT_NE(result.error.find(path), std::string::npos);
}

TEST_F(ReplayTest, CountsBeyondFourGibibytesPrintExactlyWithTheRowInGigabytes) {
  // 70,000 TCP datagrams that claim 65,535 bytes each, captured 54 bytes
  // long: 4,587,450,000 bytes, past where 32-bit counts wrap.
  const std::string path = (dir_ / "large.pcap").string();
  PcapWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(path, 1, error)) << error;
  auto datagram = BuildDatagram({MakeAddress(10, 0, 0, 1), kMe, 6, 443, 40000, 0});
  datagram[2] = datagram[3] = 0xff;
  const auto frame = EthernetFrame(datagram);
  ASSERT_EQ(frame.size(), 54u);
  for (int i = 0; i < 70000; ++i) {
    ASSERT_TRUE(writer.Write(kEvening + i / 1000, (i % 1000) * 1000, frame));
  }
  ASSERT_TRUE(writer.Close());
  const std::string out = RunCli("replay " + path + " --interface 192.168.1.10");
  EXPECT_NE(out.find("\ntotals 4587450000 0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("10.0.0.1 10.0.0.1 4.27_GB 0_B 4.27_GB "), std::string::npos) << out;
}

TEST_F(ReplayTest, NightWithoutALogKeepsBothDaysAndWithALogSavesTheDayBefore) {
  // 23:00 and, after a quiet midnight, 01:00.
  const std::string path = (dir_ / "night.pcap").string();
  PcapWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(path, 1, error));
  const uint32_t a = MakeAddress(10, 0, 0, 1), b = MakeAddress(10, 0, 0, 2);
  ASSERT_TRUE(writer.Write(kEvening, 0, EthernetFrame(BuildDatagram({kMe, a, 17, 1, 2, 0}))));
  ASSERT_TRUE(
      writer.Write(kEvening + 7200, 0, EthernetFrame(BuildDatagram({kMe, b, 17, 1, 2, 0}))));
  ASSERT_TRUE(writer.Close());
  const std::string replay = "replay " + path + " --interface 192.168.1.10";

  // Nowhere to save the day before: it stays, and the totals hold both days.
  std::string out = RunCli(replay);
  EXPECT_NE(out.find("10.0.0.1 "), std::string::npos) << out;
  EXPECT_NE(out.find("10.0.0.2 "), std::string::npos) << out;
  EXPECT_NE(out.find("\ntotals 0 56\n"), std::string::npos) << out;

  // With a log: the midnight log holds the day before, the list and totals
  // the new day, which the final save writes to a second log.
  const std::string logs = (dir_ / "logs").string();
  std::filesystem::create_directories(logs);
  out = RunCli(replay + " --save-log " + logs);
  EXPECT_EQ(out.find("10.0.0.1 "), std::string::npos) << out;
  EXPECT_NE(out.find("10.0.0.2 "), std::string::npos) << out;
  EXPECT_NE(out.find("\ntotals 0 28\n"), std::string::npos) << out;
  std::vector<LogChoice> saved = ListLogs(logs);
  ASSERT_EQ(saved.size(), 2u);
  EXPECT_EQ(saved[0].fileName, "2005-03-08_00t00t00.log");
  auto midnightRows = ReadTrafficLog((std::filesystem::path(logs) / saved[0].fileName).string());
  ASSERT_TRUE(midnightRows);
  ASSERT_EQ(midnightRows->size(), 1u);
  EXPECT_EQ((*midnightRows)[0][kColumnRemoteIp], "10.0.0.1");
}

}  // namespace
}  // namespace corvane
