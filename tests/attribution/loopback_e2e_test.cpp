// End to end on loopback: live capture on 127.0.0.2, the Monitor's
// accounting and processing, and a port scan of the real /proc. A UDP
// exchange of this program's own must show its label as the row's local
// source; ICMP keeps "ICMP protocol". Needs capture privilege.
#include <netinet/ip_icmp.h>

#include <optional>
#include <string>

#include "support/test_env.h"
#include "attribution/port_scanner.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "engine/packet_info.h"
#include "engine/traffic_list.h"
#include "platform/capture_source.h"
#include "platform/clock.h"
#include "tests/attribution/system_sockets.h"

namespace corvane {
namespace {

using corvane::testing::Address;
using corvane::testing::OwnLabel;
using corvane::testing::Socket;

uint16_t Checksum(const uint8_t* bytes, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) sum += uint32_t{bytes[i]} << 8 | bytes[i + 1];
  if (size % 2) sum += uint32_t{bytes[size - 1]} << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// Sends one echo request from 127.0.0.2 to 127.0.0.3.
bool SendEchoRequest() {
  Socket icmp(SOCK_RAW, IPPROTO_ICMP);
  if (icmp.fd() < 0 || !icmp.Bind("127.0.0.2")) return false;
  uint8_t packet[16] = {ICMP_ECHO, 0, 0, 0, 0x12, 0x34, 0, 1, 'c', 'o', 'r', 'v', 'a', 'n', 'e', '!'};
  const uint16_t sum = Checksum(packet, sizeof packet);
  packet[2] = static_cast<uint8_t>(sum >> 8);
  packet[3] = static_cast<uint8_t>(sum);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = Address("127.0.0.3");
  return ::sendto(icmp.fd(), packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to),
                  sizeof to) == sizeof packet;
}

std::optional<RowCells> FindRow(Monitor& monitor, const std::string& remote,
                                const std::string& localSource) {
  TrafficList::Lock lock(StateOf(monitor).list);
  for (const RowCells& row : StateOf(monitor).list.Rows()) {
    if (row[kColumnRemoteIp] == remote && row[kColumnLocalSource] == localSource) return row;
  }
  return std::nullopt;
}

TEST(LoopbackAttributionTest, OwnUdpExchangeShowsThisProgramAndIcmpItsProtocol) {
  CORVANE_REQUIRE(corvane::testing::MayCapture(),
                  "no capture privilege; run as root or with CAP_NET_RAW and CAP_NET_ADMIN");
  ManualClock clock(1'700'000'000);
  testing::TestEnv env(clock);
  Monitor monitor(env, ".");
  StateOf(monitor).settings.interfaceAddress = Address("127.0.0.2");
  StateOf(monitor).settings.interfaceMask = Address("255.0.0.0");
  PortScanner scanner(StateOf(monitor).portMap, env);
  monitor.SetAttributionActive(true);

  Status why;
  auto source = OpenLiveCapture(Address("127.0.0.2"), why);
  ASSERT_NE(source, nullptr) << why.reason;

  Socket local(SOCK_DGRAM);
  ASSERT_TRUE(local.Bind("127.0.0.2")) << std::strerror(errno);
  Socket peer(SOCK_DGRAM);
  ASSERT_TRUE(peer.Bind("127.0.0.3")) << std::strerror(errno);
  ASSERT_TRUE(local.SendTo(std::string(100, 'q'), peer.Name())) << std::strerror(errno);
  ASSERT_TRUE(peer.SendTo(std::string(50, 'r'), local.Name())) << std::strerror(errno);
  ASSERT_TRUE(SendEchoRequest()) << std::strerror(errno);
  ASSERT_TRUE(scanner.RunPass());

  const uint16_t localPort = local.Port();
  bool sawUpload = false, sawDownload = false, sawIcmp = false;
  // Each read waits at most about 100 ms; other loopback traffic may come
  // in between.
  for (int read = 0; read < 100 && !(sawUpload && sawDownload && sawIcmp); ++read) {
    CapturedDatagram datagram;
    const ReadStatus status = source->Next(datagram, why);
    ASSERT_TRUE(status == ReadStatus::Datagram || status == ReadStatus::Timeout) << why.reason;
    if (status != ReadStatus::Datagram) continue;
    std::optional<PacketInfo> info = ParsePacketInfo(datagram.bytes);
    if (!info) continue;
    monitor.AccountDatagram(*info);
    if (info->protocol == kProtocolUdp && info->sourcePort == localPort) sawUpload = true;
    if (info->protocol == kProtocolUdp && info->destinationPort == localPort) sawDownload = true;
    if (info->protocol == kProtocolIcmp && info->sourceAddress == IpAddress::V4(Address("127.0.0.2"))) {
      sawIcmp = true;
    }
  }
  ASSERT_TRUE(sawUpload && sawDownload && sawIcmp)
      << sawUpload << sawDownload << sawIcmp << ": not all datagrams were captured";

  clock.Advance(4);
  monitor.RunPass();

  EXPECT_TRUE(FindRow(monitor, "127.0.0.3", OwnLabel()).has_value())
      << "no row for " << OwnLabel();
  EXPECT_TRUE(FindRow(monitor, "127.0.0.3", "ICMP protocol").has_value());
  EXPECT_FALSE(FindRow(monitor, "127.0.0.3", "UDP protocol").has_value());
}

}  // namespace
}  // namespace corvane
