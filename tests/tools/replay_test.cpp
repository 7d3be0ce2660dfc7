// Replaying a capture file that the test writes itself.
#include "support/test_env.h"
#include "engine/monitor_internals.h"
#include "tools/replay.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>

#include "engine/protocol_names.h"
#include "vocabulary/text_format.h"
#include "support/pcap_writer.h"
#include "storage/traffic_log.h"
#include "support/datagram_builder.h"

namespace corvane {
namespace {

using testing::Bytes;
using testing::BuildDatagram;
using testing::BuildDatagram6;
using testing::Datagram6Fields;
using testing::EthernetFrame;
using testing::Ip;

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
  Status why;
  ASSERT_TRUE((why = writer.Open(path, 1)).ok) << why.reason;
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
  testing::TestEnv env(clock);
  Monitor monitor(env, dir_.string());
  StateOf(monitor).settings.interfaceAddress = me;
  ReplayResult result = ReplayCaptureFile(path, monitor, clock);
  ASSERT_TRUE(result.ok) << result.error;

  auto flows = StateOf(monitor).flows.AddressTotals();
  ASSERT_EQ(flows.size(), expected.size());
  for (const AddressTotal& flow : flows) {
    EXPECT_EQ(flow.counts.downloadBytes, expected[flow.remoteAddress.V4Value()].first);
    EXPECT_EQ(flow.counts.uploadBytes, expected[flow.remoteAddress.V4Value()].second);
  }
  EXPECT_EQ(StateOf(monitor).flows.Totals().downloadBytes, down);
  EXPECT_EQ(StateOf(monitor).flows.Totals().uploadBytes, up);

  // Every event was shown: one row per address and local source.
  TrafficList::Lock lock(StateOf(monitor).list);
  EXPECT_EQ(StateOf(monitor).packetQueue.Size(), 0u);
  for (const RowCells& row : StateOf(monitor).list.Rows()) {
    auto address = ParseInetAddr(row[kColumnRemoteIp]);
    ASSERT_TRUE(address);
    EXPECT_EQ(row[kColumnDownload],
              FormatByteCount(rowDownload[{*address, row[kColumnLocalSource]}]));
  }
}

// A capture with the owners of its sockets, replayed into the history:
// each program's bytes land under its own name, the protocols' under theirs,
// exactly, and replaying the same minutes again does not count them twice.
TEST_F(ReplayTest, HistoryOfAReplayWithOwnersHoldsEachProgramsBytesExactlyOnce) {
  const std::string capture = (dir_ / "owned.pcap").string();
  const std::string owners = (dir_ / "owners.txt").string();
  const IpAddress me4 = Ip("192.168.1.10"), me6 = Ip("2001:db8:1::10");
  const IpAddress web4 = Ip("198.51.100.7"), web6 = Ip("2001:db8:99::7");
  std::ofstream(owners) << "# sockets while the capture was taken\n"
                           "tcp 192.168.1.10 40000 198.51.100.7 443 4242 1000 curl\n"
                           "udp 2001:db8:1::10 5353 :: 0 777 1000 firefox-esr\n";
  PcapWriter writer;
  Status why;
  ASSERT_TRUE((why = writer.Open(capture, 1)).ok) << why.reason;
  std::map<std::string, std::pair<uint64_t, uint64_t>> expected;  // sent, received by app
  for (int i = 0; i < 600; ++i) {
    const bool out = i % 3 != 0;
    Bytes d;
    std::string app;
    switch (i % 4) {
      case 0:
      case 1:
        app = "curl";
        d = out ? BuildDatagram({me4.V4Value(), web4.V4Value(), 6, 40000, 443, size_t(i % 300)})
                : BuildDatagram({web4.V4Value(), me4.V4Value(), 6, 443, 40000, size_t(i % 300)});
        break;
      case 2:
        app = "firefox-esr";
        d = out ? BuildDatagram6({me6, web6, 17, 5353, 53, size_t(i % 100)})
                : BuildDatagram6({web6, me6, 17, 53, 5353, size_t(i % 100)});
        break;
      default:
        app = ProtocolSourceText(1);
        d = out ? BuildDatagram({me4.V4Value(), web4.V4Value(), 1, 0, 0, 56})
                : BuildDatagram({web4.V4Value(), me4.V4Value(), 1, 0, 0, 56});
    }
    (out ? expected[app].first : expected[app].second) += d.size();
    // Five minutes, two datagrams a second.
    ASSERT_TRUE(writer.Write(kEvening + i / 2, (i % 2) * 500000, EthernetFrame(d)));
  }
  ASSERT_TRUE(writer.Close());

  const std::string data = " --data-dir " + (dir_ / "data").string();
  const std::string replay = "replay " + capture + " --local 192.168.1.10 --local 2001:db8:1::10" +
                             " --owners " + owners + " --history" + data;
  std::string report;
  for (int run = 0; run < 2; ++run) {
    ASSERT_NE(RunCli(replay).find("totals "), std::string::npos);
    report = RunCli("report --by app --format json" + data);
  }
  std::string want = "{\"by\":\"app\",\"since\":null,\"until\":null,\"rows\":[";
  std::vector<std::pair<std::string, std::pair<uint64_t, uint64_t>>> rows(expected.begin(),
                                                                         expected.end());
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    return a.second.first + a.second.second > b.second.first + b.second.second;
  });
  for (const auto& [app, bytes] : rows) {
    want += (want.back() == '[' ? "{" : ",{") + std::string("\"app\":\"") + app +
            "\",\"sent_bytes\":" + std::to_string(bytes.first) +
            ",\"received_bytes\":" + std::to_string(bytes.second) +
            ",\"total_bytes\":" + std::to_string(bytes.first + bytes.second) + "}";
  }
  EXPECT_EQ(report, want + "]}\n");
}

// Both families in one file: global and local-area peers, extension
// headers, fragments, ICMPv6, link-local and multicast. corvane-cli's
// per-address counts and totals must equal what the file holds, with and
// without the local-area option.
TEST_F(ReplayTest, MixedFamiliesCountEveryByteOfBothWithAndWithoutLocalAreaFlows) {
  const std::string path = (dir_ / "dual.pcap").string();
  PcapWriter writer;
  Status why;
  ASSERT_TRUE((why = writer.Open(path, 1)).ok) << why.reason;
  struct Peer {
    IpAddress address;
    bool localArea;
  };
  const IpAddress me4 = Ip("192.168.1.10");
  const IpAddress me6 = Ip("2001:db8:1::10");
  const IpAddress meLink = Ip("fe80::10");
  const std::vector<Peer> peers = {
      {Ip("10.1.2.3"), false},        {Ip("192.168.1.20"), true},
      {Ip("2001:db8:99::1"), false},  {Ip("2001:db8:99::2"), false},
      {Ip("2001:db8:1::20"), true},   {Ip("fe80::20"), true},
      {Ip("fd00::5"), true},
  };
  // Per address: down, up; for all flows and for those outside the LAN.
  std::map<IpAddress, std::pair<uint64_t, uint64_t>> all, global;
  uint64_t totals[2][2] = {};  // [lan hidden][down, up]
  auto add = [&](const IpAddress& remote, bool localArea, bool upload, uint64_t length) {
    (upload ? all[remote].second : all[remote].first) += length;
    totals[0][upload] += length;
    if (localArea) return;
    (upload ? global[remote].second : global[remote].first) += length;
    totals[1][upload] += length;
  };
  const std::vector<std::vector<uint8_t>> shapes = {{}, {0, 60}, {44}, {43, 44, 60}};
  for (int i = 0; i < 700; ++i) {
    const Peer& peer = peers[static_cast<size_t>(i) % peers.size()];
    const bool upload = i % 3 != 0;
    const uint8_t protocol = i % 5 == 0 ? (peer.address.IsV4() ? 1 : 58) : (i % 2 ? 6 : 17);
    std::vector<uint8_t> bytes;
    if (peer.address.IsV4()) {
      const uint32_t a = me4.V4Value(), b = peer.address.V4Value();
      bytes = BuildDatagram({upload ? a : b, upload ? b : a, protocol, 40000, 443,
                             static_cast<size_t>(i % 300)});
    } else {
      const IpAddress& own = peer.address.bytes[0] == 0xfe ? meLink : me6;
      Datagram6Fields fields{upload ? own : peer.address, upload ? peer.address : own, protocol,
                             40000, 443, static_cast<size_t>(i % 300),
                             shapes[static_cast<size_t>(i) % shapes.size()],
                             static_cast<uint16_t>(i % 4 == 3 ? 100 : 0)};
      bytes = BuildDatagram6(fields);
    }
    add(peer.address, peer.localArea, upload, bytes.size());
    ASSERT_TRUE(writer.Write(kEvening + i / 50, (i % 50) * 1000, EthernetFrame(bytes)));
  }
  // mDNS to the group: a download from the sender, on the local area.
  const auto mdns = BuildDatagram6({Ip("fe80::20"), Ip("ff02::fb"), 17, 5353, 5353, 90});
  add(Ip("fe80::20"), true, false, mdns.size());
  ASSERT_TRUE(writer.Write(kEvening + 20, 0, EthernetFrame(mdns)));
  // Between two other hosts: counts nowhere.
  ASSERT_TRUE(writer.Write(kEvening + 20, 1, EthernetFrame(BuildDatagram6(
      {Ip("2001:db8:99::1"), Ip("2001:db8:99::2"), 17, 1, 2, 10}))));
  ASSERT_TRUE(writer.Close());

  auto expectedOutput = [](const std::map<IpAddress, std::pair<uint64_t, uint64_t>>& flows,
                           const uint64_t (&total)[2]) {
    std::string out;
    for (const auto& [address, counts] : flows) {
      out += FormatIp(address) + " " + std::to_string(counts.first) + " " +
             std::to_string(counts.second) + "\n";
    }
    return out + "totals " + std::to_string(total[0]) + " " + std::to_string(total[1]) + "\n";
  };
  const std::string arguments = "replay " + path +
                                " --local 192.168.1.10 --local 2001:db8:1::10 --local fe80::10"
                                " --mask 255.255.255.0 --prefix 2001:db8:1::/64 --flows";
  EXPECT_EQ(RunCli(arguments), expectedOutput(all, totals[0]));
  EXPECT_EQ(RunCli(arguments + " --hide-lan"), expectedOutput(global, totals[1]));
}

TEST_F(ReplayTest, FileThatIsNotACaptureGivesOneErrorLine) {
  const std::string path = (dir_ / "notes.txt").string();
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs("hello\n", f);
  std::fclose(f);
  ManualClock clock;
  testing::TestEnv env(clock);
  Monitor monitor(env, dir_.string());
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
  Status why;
  ASSERT_TRUE((why = writer.Open(path, 1)).ok) << why.reason;
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
  Status why;
  ASSERT_TRUE((why = writer.Open(path, 1)).ok);
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

// A program that another user named to take over the terminal of whoever
// reads the reports ("\e]0;...\a" retitles it, "\e[2J" clears it), to make
// its line read backwards (U+202E) or to hide text (a TAG character), with
// bytes that are no UTF-8 at all and markup for the window: no output of
// corvane-cli holds any of it, each shows the name's visible part.
TEST_F(ReplayTest, HostileProgramNameReachesNoOutputAsControlOrReordering) {
  const std::string capture = (dir_ / "hostile.pcap").string();
  const std::string owners = (dir_ / "owners.txt").string();
  const std::string logs = (dir_ / "logs").string();
  std::filesystem::create_directories(logs);
  std::ofstream(owners) << "tcp 192.168.1.10 40000 198.51.100.7 443 4242 1001 "
                           "evil\x1b]0;PWNED\x07\x1b[2J\xe2\x80\xae" "fdp.exe\xff\xf3\xa0\x80\xa1"
                           "<img_src=x>\n";
  PcapWriter writer;
  ASSERT_TRUE(writer.Open(capture, 1).ok);
  const uint32_t web = MakeAddress(198, 51, 100, 7);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(writer.Write(kEvening + i, 0,
                             EthernetFrame(BuildDatagram({kMe, web, 6, 40000, 443, 100}))));
  }
  ASSERT_TRUE(writer.Close());
  const std::string data = " --data-dir " + (dir_ / "data").string();
  std::map<std::string, std::string> outputs;
  outputs["replay"] = RunCli("replay " + capture + " --local 192.168.1.10 --owners " + owners +
                             " --history --save-log " + logs + data);
  for (const char* format : {"table", "csv", "json"}) {
    outputs[format] = RunCli(std::string("report --by app --format ") + format + data);
  }
  const std::vector<LogChoice> saved = ListLogs(logs);
  ASSERT_EQ(saved.size(), 1u);
  std::ifstream log(std::filesystem::path(logs) / saved[0].fileName);
  outputs["log"].assign(std::istreambuf_iterator<char>(log), {});
  outputs["logs --show"] = RunCli("logs " + logs + " --show '" + saved[0].displayName + "'");
  outputs["logs --show json"] =
      RunCli("logs " + logs + " --show '" + saved[0].displayName + "' --format json");
  for (const auto& [what, out] : outputs) {
    EXPECT_NE(out.find("]0;PWNED"), std::string::npos) << what << ":\n" << out;
    EXPECT_NE(out.find("fdp.exe"), std::string::npos) << what << ":\n" << out;
    // Line by line, nothing the cleaner would change: no control byte, no
    // bidirectional or invisible character, only well-formed UTF-8.
    for (size_t start = 0; start < out.size();) {
      const size_t end = std::min(out.find('\n', start), out.size());
      const std::string_view line = std::string_view(out).substr(start, end - start);
      EXPECT_EQ(SanitizeNetworkText(line, Blanks::kKeep), line) << what;
      start = end + 1;
    }
  }
}

}  // namespace
}  // namespace corvane
