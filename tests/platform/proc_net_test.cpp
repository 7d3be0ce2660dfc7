// The /proc/net socket tables: parsing fixtures as the kernel writes them on
// a little-endian host, and reading the files in large reads.
#include "platform/file_io.h"
#include "platform/proc_net.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace corvane {

void PrintTo(const PortTableRow& row, std::ostream* os) {
  *os << "{port " << row.localPort << ", inode " << row.inode << ", address "
      << FormatIp(row.localAddress) << "}";
}

namespace {

namespace fs = std::filesystem;

IpAddress Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t address;
  std::memcpy(&address, bytes, 4);
  return IpAddress::V4(address);
}
IpAddress Ip6(std::string_view text) { return *ParseIp(text); }

constexpr const char* kTcp =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0100007F:0277 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 20911 1 0000000000000000 100 0 0 10 0\n"
    "   1: 00000000:0016 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 18832 1 0000000000000000 100 0 0 10 0\n"
    "   2: 0F02000A:A2C4 2A1B5D8E:01BB 01 00000000:00000000 02:00000A9B 00000000  1000        0 734512 2 0000000000000000 20 4 30 10 -1\n"
    "   3: 0F02000A:A2C6 2A1B5D8E:01BB 06 00000000:00000000 03:000016B2 00000000     0        0 0 3 0000000000000000\n";

constexpr const char* kUdp =
    "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
    "  255: 3500007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000   101        0 17401 2 0000000000000000 0\n"
    "  278: 00000000:0044 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 19221 2 0000000000000000 0\n";

// :: port 8080, ::ffff:127.0.0.1 port 8081, ::1 port 22, fe80::1 port 5353,
// ::ffff:10.0.2.15 port 443 in TIME_WAIT.
constexpr const char* kTcp6 =
    "  sl  local_address                         remote_address                        st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000000000000:1F90 00000000000000000000000000000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 40001 1 0000000000000000 100 0 0 10 0\n"
    "   1: 0000000000000000FFFF00000100007F:1F91 00000000000000000000000000000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 40002 1 0000000000000000 100 0 0 10 0\n"
    "   2: 00000000000000000000000001000000:0016 00000000000000000000000000000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 40003 1 0000000000000000 100 0 0 10 0\n"
    "   3: 000080FE000000000000000001000000:14E9 00000000000000000000000000000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 40004 1 0000000000000000 100 0 0 10 0\n"
    "   4: 0000000000000000FFFF00000F02000A:01BB 0000000000000000FFFF00002A1B5D8E:C350 06 00000000:00000000 03:00001770 00000000     0        0 0 3 0000000000000000\n";

constexpr const char* kUdp6 =
    "  sl  local_address                         remote_address                        st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
    " 1041: 00000000000000000000000000000000:14E9 00000000000000000000000000000000:0000 07 00000000:00000000 00:00000000 00000000   105        0 50001 2 0000000000000000 0\n"
    " 1042: 00000000000000000000000001000000:14EA 00000000000000000000000000000000:0000 07 00000000:00000000 00:00000000 00000000   105        0 50002 2 0000000000000000 0\n";

class PortTableParseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::endian::native != std::endian::little) {
      GTEST_SKIP() << "the IPv6 fixtures are written as a little-endian kernel prints them";
    }
  }
  std::vector<PortTableRow> rows_;
};

TEST_F(PortTableParseTest, Ipv4RowsComeInTableOrderWithAddressAndTimeWaitInodeZero) {
  EXPECT_EQ(ParsePortTable(kTcp, TableFamily::kIpv4, rows_), 0u);
  const std::vector<PortTableRow> expected = {{631, 20911, Ip(127, 0, 0, 1)},
                                              {22, 18832, Ip(0, 0, 0, 0)},
                                              {41668, 734512, Ip(10, 0, 2, 15)},
                                              {41670, 0, Ip(10, 0, 2, 15)}};
  EXPECT_EQ(rows_, expected);
}

TEST_F(PortTableParseTest, UdpRowsWithExtraColumnsParse) {
  EXPECT_EQ(ParsePortTable(kUdp, TableFamily::kIpv4, rows_), 0u);
  const std::vector<PortTableRow> expected = {{53, 17401, Ip(127, 0, 0, 53)},
                                              {68, 19221, Ip(0, 0, 0, 0)}};
  EXPECT_EQ(rows_, expected);
}

TEST_F(PortTableParseTest, Ipv6TableKeepsNativeAddressesAndReadsMappedOnesAsIpv4) {
  EXPECT_EQ(ParsePortTable(kTcp6, TableFamily::kIpv6, rows_), 0u);
  const std::vector<PortTableRow> expected = {{8080, 40001, Ip6("::")},
                                              {8081, 40002, Ip(127, 0, 0, 1)},
                                              {22, 40003, Ip6("::1")},
                                              {5353, 40004, Ip6("fe80::1")},
                                              {443, 0, Ip(10, 0, 2, 15)}};
  EXPECT_EQ(rows_, expected);
  rows_.clear();
  EXPECT_EQ(ParsePortTable(kUdp6, TableFamily::kIpv6, rows_), 0u);
  EXPECT_EQ(rows_, (std::vector<PortTableRow>{{5353, 50001, Ip6("::")}, {5354, 50002, Ip6("::1")}}));
}

TEST_F(PortTableParseTest, RowsAreAppendedAfterEarlierTables) {
  ParsePortTable(kUdp, TableFamily::kIpv4, rows_);
  ParsePortTable(kUdp6, TableFamily::kIpv6, rows_);
  ASSERT_EQ(rows_.size(), 4u);
  EXPECT_EQ(rows_[2], (PortTableRow{5353, 50001, Ip6("::")}));
}

TEST_F(PortTableParseTest, DamagedLinesAreSkippedAndGoodOnesAroundThemKept) {
  const std::string text = std::string(kTcp).substr(0, std::string(kTcp).find('\n') + 1) +
      "   0: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 111 1\n"
      "   1: 0100007F:0051 00000000:0000 0A 00000000:00000000 00:00000000\n"                       // cut short
      "   2: 0100007F:GG51 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 112 1\n"  // bad port
      "   3: 0100007F:10000 00000000:0000 0A 00000000:00000000 00:00000000 00000000    0        0 113 1\n"  // port too big
      "   4: 0100007F0052 00000000:0000 0A 00000000:00000000 00:00000000 00000000      0        0 114 1\n"  // no colon
      "   5: 0100007F:0053 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1x5 1\n"  // bad inode
      "   6: 00007F:0054 00000000:0000 0A 00000000:00000000 00:00000000 00000000       0        0 116 1\n"  // short address
      "   7  0100007F:0055 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 117 1\n"  // no slot colon
      "\x01\xff garbage\n"
      "\n"
      "   8: 0100007F:0056 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 118 1";  // no final newline
  EXPECT_EQ(ParsePortTable(text, TableFamily::kIpv4, rows_), 8u);
  const std::vector<PortTableRow> expected = {{80, 111, Ip(127, 0, 0, 1)},
                                              {86, 118, Ip(127, 0, 0, 1)}};
  EXPECT_EQ(rows_, expected);
}

TEST_F(PortTableParseTest, Ipv4AddressInIpv6TableIsDamaged) {
  const std::string line =
      "   0: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 111 1\n";
  EXPECT_EQ(ParsePortTable(line, TableFamily::kIpv6, rows_), 1u);
  EXPECT_TRUE(rows_.empty());
}

TEST_F(PortTableParseTest, EmptyAndHeadingOnlyTablesGiveNoRows) {
  EXPECT_EQ(ParsePortTable("", TableFamily::kIpv4, rows_), 0u);
  EXPECT_EQ(ParsePortTable(
                "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n",
                TableFamily::kIpv4, rows_),
            0u);
  EXPECT_TRUE(rows_.empty());
}

class ProcNetFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("corvane_proc_net_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "net");
  }
  void TearDown() override { fs::remove_all(root_); }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(root_ / "net" / name, std::ios::binary) << text;
  }
  fs::path root_;
};

TEST_F(ProcNetFileTest, WholeFileIsReadPastTheFirstLargeRead) {
  std::string big;
  for (int i = 0; big.size() < 300 * 1024; ++i) big += "line " + std::to_string(i) + "\n";
  Write("big", big);
  std::string out = "stale contents";
  EXPECT_TRUE(ReadFile((root_ / "net" / "big").string(), out));
  EXPECT_EQ(out, big);
  // The reused buffer never carries old bytes into a missing file's result.
  const Status missing = ReadFile((root_ / "net" / "absent").string(), out);
  EXPECT_TRUE(missing.Missing()) << missing.reason;
  EXPECT_TRUE(out.empty());
}

TEST_F(ProcNetFileTest, RealTcpTableReadsLikeTheKernelWritesIt) {
  std::string out;
  ASSERT_TRUE(ReadFile("/proc/net/tcp", out));
  ASSERT_FALSE(out.empty());
  std::vector<PortTableRow> rows;
  EXPECT_EQ(ParsePortTable(out, TableFamily::kIpv4, rows), 0u) << out;
}

TEST_F(ProcNetFileTest, KernelWithoutIpv6TablesStillOpens) {
  Write("tcp", kTcp);
  Write("udp", kUdp);
  PortTableReader reader(root_.string());
  Status why;
  ASSERT_TRUE((why = reader.Open()).ok) << why.reason;
  PortTables tables;
  ASSERT_TRUE((why = reader.Read(tables)).ok) << why.reason;
  EXPECT_EQ(tables.tcp.size(), 4u);
  EXPECT_EQ(tables.udp.size(), 2u);
}

TEST_F(ProcNetFileTest, TcpRowsPrecedeTcp6RowsAndUdpRowsUdp6Rows) {
  if (std::endian::native != std::endian::little) GTEST_SKIP() << "little-endian fixtures";
  Write("tcp", kTcp);
  Write("udp", kUdp);
  Write("tcp6", kTcp6);
  Write("udp6", kUdp6);
  PortTableReader reader(root_.string());
  Status why;
  ASSERT_TRUE((why = reader.Open()).ok) << why.reason;
  PortTables tables;
  ASSERT_TRUE((why = reader.Read(tables)).ok) << why.reason;
  ASSERT_EQ(tables.tcp.size(), 9u);
  EXPECT_EQ(tables.tcp[3], (PortTableRow{41670, 0, Ip(10, 0, 2, 15)}));
  EXPECT_EQ(tables.tcp[4], (PortTableRow{8080, 40001, Ip6("::")}));
  ASSERT_EQ(tables.udp.size(), 4u);
  EXPECT_EQ(tables.udp[2], (PortTableRow{5353, 50001, Ip6("::")}));
}

TEST_F(ProcNetFileTest, MissingIpv4TableFailsOpen) {
  Write("tcp", kTcp);
  PortTableReader reader(root_.string());
  Status why;
  EXPECT_FALSE((why = reader.Open()).ok);
  EXPECT_NE(why.reason.find("net/udp"), std::string::npos) << why.reason;
}

TEST_F(ProcNetFileTest, TableThatDisappearsAfterOpenFailsTheRead) {
  Write("tcp", kTcp);
  Write("udp", kUdp);
  Write("udp6", kUdp6);
  PortTableReader reader(root_.string());
  Status why;
  ASSERT_TRUE((why = reader.Open()).ok) << why.reason;
  fs::remove(root_ / "net" / "udp6");
  PortTables tables;
  EXPECT_FALSE((why = reader.Read(tables)).ok);
  EXPECT_NE(why.reason.find("udp6"), std::string::npos) << why.reason;
}

}  // namespace
}  // namespace corvane
