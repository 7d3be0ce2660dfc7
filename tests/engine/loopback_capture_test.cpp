// End to end on loopback: real datagrams through real capture into rows.
// Needs CAP_NET_RAW; CI runs it as root.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "support/test_env.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "support/quick_waiters.h"
#include "engine/protocol_names.h"
#include "vocabulary/text_format.h"
#include "platform/net.h"

namespace corvane {
namespace {

const uint32_t kMonitored = MakeAddress(127, 0, 0, 2);
const uint32_t kPeer = MakeAddress(127, 0, 0, 3);

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

sockaddr_in Endpoint(uint32_t address, uint16_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = address;
  in.sin_port = htons(port);
  return in;
}

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { if (fd_ >= 0) ::close(fd_); }
  int get() const { return fd_; }
 private:
  int fd_;
};

class LoopbackCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Status why;
    auto probe = OpenLiveCapture(kMonitored, why);
    if (!probe) {
      if (InCi()) FAIL() << "capture on lo is required in CI: " << why.reason;
      GTEST_SKIP() << "no privilege to capture on lo: " << why.reason;
    }
    probe.reset();
    monitor_.SetErrorHandler([this](const std::string& m) { errors_.push_back(m); });
    // Loopback's own addresses, as the address watcher lists them.
    monitor_.SetLocalNetworks(LocalNetworks{{IpAddress::V4(kMonitored), *ParseIp("::1")}, {}});
    monitor_.RestartCapture("lo");
  }

  // Waits until the flow of `remote` holds at least the expected counts.
  bool WaitForFlow(uint32_t remote, uint32_t down, uint32_t up) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      auto flow = StateOf(monitor_).flows.LookupAddressTotal(IpAddress::V4(remote));
      if (flow && flow->downloadBytes >= down && flow->uploadBytes >= up) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Capture starts asynchronously: send marker datagrams until one is seen.
  void WaitUntilCapturing() {
    Socket s(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in from = Endpoint(kPeer, 0), to = Endpoint(MakeAddress(127, 0, 0, 9), 9);
    ASSERT_EQ(::bind(s.get(), reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    (void)to;
    // Marker: from the peer to the monitored address, on a closed port.
    sockaddr_in dst = Endpoint(kMonitored, 9);
    for (int i = 0; i < 200; ++i) {
      ::sendto(s.get(), "m", 1, 0, reinterpret_cast<sockaddr*>(&dst), sizeof dst);
      if (StateOf(monitor_).flows.LookupAddressTotal(IpAddress::V4(kPeer))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_TRUE(StateOf(monitor_).flows.LookupAddressTotal(IpAddress::V4(kPeer))) << "capture never started";
    // Let the markers (and the port-unreachable answers) drain, then start
    // from zero.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    StateOf(monitor_).flows.Clear();
    StateOf(monitor_).counters.Tick();
  }

  ManualClock clock_{1110196800};
  testing::TestEnv env_{clock_};
  Monitor monitor_{env_, "."};
  std::vector<std::string> errors_;
};

TEST_F(LoopbackCaptureTest, UdpExchangeCountsIpTotalLengthsBothWays) {
  WaitUntilCapturing();
  Socket local(::socket(AF_INET, SOCK_DGRAM, 0));
  Socket peer(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in localAddr = Endpoint(kMonitored, 0), peerAddr = Endpoint(kPeer, 0);
  ASSERT_EQ(::bind(local.get(), reinterpret_cast<sockaddr*>(&localAddr), sizeof localAddr), 0);
  ASSERT_EQ(::bind(peer.get(), reinterpret_cast<sockaddr*>(&peerAddr), sizeof peerAddr), 0);
  socklen_t len = sizeof localAddr;
  ::getsockname(local.get(), reinterpret_cast<sockaddr*>(&localAddr), &len);
  len = sizeof peerAddr;
  ::getsockname(peer.get(), reinterpret_cast<sockaddr*>(&peerAddr), &len);

  uint32_t up = 0, down = 0;
  char buffer[1500] = {};
  for (int i = 0; i < 20; ++i) {
    size_t n = 10 + static_cast<size_t>(i) * 50;
    ASSERT_EQ(::sendto(local.get(), buffer, n, 0, reinterpret_cast<sockaddr*>(&peerAddr),
                       sizeof peerAddr), static_cast<ssize_t>(n));
    up += static_cast<uint32_t>(20 + 8 + n);
    ASSERT_EQ(::recv(peer.get(), buffer, sizeof buffer, 0), static_cast<ssize_t>(n));
    ASSERT_EQ(::sendto(peer.get(), buffer, n / 2, 0, reinterpret_cast<sockaddr*>(&localAddr),
                       sizeof localAddr), static_cast<ssize_t>(n / 2));
    down += static_cast<uint32_t>(20 + 8 + n / 2);
    ASSERT_EQ(::recv(local.get(), buffer, sizeof buffer, 0), static_cast<ssize_t>(n / 2));
  }
  ASSERT_TRUE(WaitForFlow(kPeer, down, up));
  auto flow = StateOf(monitor_).flows.LookupAddressTotal(IpAddress::V4(kPeer));
  EXPECT_EQ(flow->uploadBytes, up);
  EXPECT_EQ(flow->downloadBytes, down);

  clock_.Advance(3);
  monitor_.RunPass();
  TrafficList::Lock lock(StateOf(monitor_).list);
  int row = StateOf(monitor_).list.FindRemoteIpRow("127.0.0.3", "UDP protocol");
  ASSERT_GE(row, 0);
  EXPECT_EQ(StateOf(monitor_).list.Cell(row, kColumnUpload), FormatByteCount(up));
  EXPECT_EQ(StateOf(monitor_).list.Cell(row, kColumnDownload), FormatByteCount(down));
}

TEST_F(LoopbackCaptureTest, TcpConnectionIsCountedAndOthersTrafficIsNot) {
  WaitUntilCapturing();
  // An independent count of the same traffic from a second capture handle.
  Status why;
  auto witness = OpenLiveCapture(kMonitored, why);
  ASSERT_TRUE(witness) << why.reason;

  Socket listener(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in server = Endpoint(kPeer, 0);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
  ASSERT_EQ(::listen(listener.get(), 1), 0);
  socklen_t len = sizeof server;
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&server), &len);
  {
    Socket client(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in local = Endpoint(kMonitored, 0);
    ASSERT_EQ(::bind(client.get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
    Socket accepted(::accept(listener.get(), nullptr, nullptr));
    char data[4000] = {};
    ASSERT_EQ(::send(client.get(), data, sizeof data, 0), static_cast<ssize_t>(sizeof data));
    size_t got = 0;
    while (got < sizeof data) {
      ssize_t n = ::recv(accepted.get(), data, sizeof data, 0);
      ASSERT_GT(n, 0);
      got += static_cast<size_t>(n);
    }
    ASSERT_EQ(::send(accepted.get(), data, 123, 0), 123);
    ASSERT_EQ(::recv(client.get(), data, 123, MSG_WAITALL), 123);
  }
  // Two other loopback hosts talk; none of it may count.
  Socket x(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in xAddr = Endpoint(MakeAddress(127, 0, 0, 4), 0);
  ASSERT_EQ(::bind(x.get(), reinterpret_cast<sockaddr*>(&xAddr), sizeof xAddr), 0);
  sockaddr_in yAddr = Endpoint(MakeAddress(127, 0, 0, 5), 9);
  for (int i = 0; i < 5; ++i) ::sendto(x.get(), "zz", 2, 0, reinterpret_cast<sockaddr*>(&yAddr), sizeof yAddr);

  // Sum what the witness saw between the two addresses, until the closing
  // handshake has passed both ways.
  uint32_t up = 0, down = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  CapturedDatagram d;
  while (std::chrono::steady_clock::now() < deadline) {
    if (witness->Next(d, why) != ReadStatus::Datagram) continue;
    auto info = ParsePacketInfo(d.bytes);
    if (!info || info->protocol != 6) continue;
    if (info->sourceAddress == IpAddress::V4(kMonitored) && info->destinationAddress == IpAddress::V4(kPeer)) up += info->length;
    if (info->sourceAddress == IpAddress::V4(kPeer) && info->destinationAddress == IpAddress::V4(kMonitored)) down += info->length;
  }
  ASSERT_GT(up, 4000u);
  ASSERT_GT(down, 123u);
  ASSERT_TRUE(WaitForFlow(kPeer, down, up));
  auto flow = StateOf(monitor_).flows.LookupAddressTotal(IpAddress::V4(kPeer));
  EXPECT_EQ(flow->uploadBytes, up);
  EXPECT_EQ(flow->downloadBytes, down);
  EXPECT_FALSE(StateOf(monitor_).flows.LookupAddressTotal(IpAddress::V4(MakeAddress(127, 0, 0, 4))));
  EXPECT_FALSE(StateOf(monitor_).flows.LookupAddressTotal(IpAddress::V4(MakeAddress(127, 0, 0, 5))));
}

TEST_F(LoopbackCaptureTest, PausedCaptureCountsNothingAndResumeCountsAgain) {
  WaitUntilCapturing();
  const uint32_t pausedPeer = MakeAddress(127, 0, 0, 6);
  Socket local(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in localAddr = Endpoint(kMonitored, 0);
  ASSERT_EQ(::bind(local.get(), reinterpret_cast<sockaddr*>(&localAddr), sizeof localAddr), 0);
  // UDP to closed ports: only the datagram itself (and an ICMP answer) flows.
  auto sendTo = [&](uint32_t remote, size_t n) {
    sockaddr_in to = Endpoint(remote, 9);
    char data[600] = {};
    ASSERT_EQ(::sendto(local.get(), data, n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(n));
  };
  sendTo(kPeer, 100);
  ASSERT_TRUE(WaitForFlow(kPeer, 0, 128));
  clock_.Advance(3);
  monitor_.RunPass();
  auto rowText = [&] {
    TrafficList::Lock lock(StateOf(monitor_).list);
    const TrafficList& list = StateOf(monitor_).list;
    std::string text;
    for (int row = 0; row < list.Count(); ++row) {
      text += list.Cell(row, kColumnRemoteIp) + " " + list.Cell(row, kColumnUpload) + " " +
              list.Cell(row, kColumnDownload) + "\n";
    }
    return text;
  };

  monitor_.Pause();
  EXPECT_TRUE(monitor_.IsPaused());
  // Read once capture is closed: a late port-unreachable answer is in.
  const std::string rowsBefore = rowText();
  ASSERT_NE(rowsBefore.find("127.0.0.3"), std::string::npos);
  const auto totalsBefore = monitor_.Totals();
  ASSERT_GE(totalsBefore.second, 128u);
  const uint64_t datagramsPaused = monitor_.DatagramCount();
  Status why;
  auto witness = OpenLiveCapture(kMonitored, why);
  ASSERT_TRUE(witness) << why.reason;
  for (int i = 0; i < 10; ++i) sendTo(pausedPeer, 500);
  // The datagrams have gone past the capture point once a second handle
  // has seen them all.
  int seen = 0;
  CapturedDatagram d;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (seen < 10 && std::chrono::steady_clock::now() < deadline) {
    if (witness->Next(d, why) != ReadStatus::Datagram) continue;
    auto info = ParsePacketInfo(d.bytes);
    if (info && info->destinationAddress == IpAddress::V4(pausedPeer) && info->protocol == 17) ++seen;
  }
  ASSERT_EQ(seen, 10);
  clock_.Advance(3);
  monitor_.RunPass();
  EXPECT_EQ(monitor_.DatagramCount(), datagramsPaused);
  EXPECT_EQ(monitor_.Totals(), totalsBefore);
  EXPECT_EQ(rowText(), rowsBefore);

  monitor_.Resume();
  EXPECT_FALSE(monitor_.IsPaused());
  EXPECT_EQ(monitor_.interfaceName(), "lo");
  // Capture opens again in its own time: send until a datagram is counted.
  for (int i = 0; i < 200 && monitor_.DatagramCount() == datagramsPaused; ++i) {
    sendTo(kPeer, 50);
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_GT(monitor_.DatagramCount(), datagramsPaused);
  EXPECT_FALSE(StateOf(monitor_).flows.LookupAddressTotal(IpAddress::V4(pausedPeer)));
  EXPECT_TRUE(errors_.empty());
}

TEST_F(LoopbackCaptureTest, IcmpEchoShowsAsIcmpRowWithItsLengths) {
  WaitUntilCapturing();
  Socket raw(::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
  ASSERT_GE(raw.get(), 0) << "raw ICMP socket needs CAP_NET_RAW";
  sockaddr_in local = Endpoint(kMonitored, 0);
  ASSERT_EQ(::bind(raw.get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  uint8_t packet[8 + 56] = {};
  packet[0] = 8;  // echo request
  packet[4] = 0x12;
  uint32_t sum = 0;
  for (size_t i = 0; i < sizeof packet; i += 2) sum += static_cast<uint32_t>(packet[i] << 8 | packet[i + 1]);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  uint16_t checksum = htons(static_cast<uint16_t>(~sum));
  std::memcpy(packet + 2, &checksum, 2);
  sockaddr_in peer = Endpoint(kPeer, 0);
  ASSERT_EQ(::sendto(raw.get(), packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer),
            static_cast<ssize_t>(sizeof packet));
  // The kernel answers the echo itself.
  ASSERT_TRUE(WaitForFlow(kPeer, 84, 84));
  auto flow = StateOf(monitor_).flows.LookupAddressTotal(IpAddress::V4(kPeer));
  EXPECT_EQ(flow->uploadBytes, 84u);
  EXPECT_EQ(flow->downloadBytes, 84u);
  clock_.Advance(3);
  monitor_.RunPass();
  TrafficList::Lock lock(StateOf(monitor_).list);
  EXPECT_GE(StateOf(monitor_).list.FindRemoteIpRow("127.0.0.3", "ICMP protocol"), 0);
}

// ::1 to ::1: the loopback interface holds ::1, so all of it is sent by an
// own address. TCP, UDP and an ICMPv6 echo each make their row, with exactly
// the bytes a second capture handle sees.
TEST_F(LoopbackCaptureTest, Ipv6TcpUdpAndEchoOnLoopbackMakeRowsWithTheirBytes) {
  Socket probe(::socket(AF_INET6, SOCK_DGRAM, 0));
  if (probe.get() < 0) GTEST_SKIP() << "no IPv6 in this kernel";
  WaitUntilCapturing();
  Status why;
  auto witness = OpenLiveCapture(kMonitored, why);
  ASSERT_TRUE(witness) << why.reason;
  sockaddr_in6 loopback{};
  loopback.sin6_family = AF_INET6;
  loopback.sin6_addr = in6addr_loopback;
  auto* address = reinterpret_cast<sockaddr*>(&loopback);
  socklen_t length = sizeof loopback;

  Socket udp(::socket(AF_INET6, SOCK_DGRAM, 0));
  ASSERT_EQ(::bind(udp.get(), address, length), 0);
  ::getsockname(udp.get(), address, &length);
  char buffer[4000] = {};
  for (int i = 0; i < 10; ++i) {
    const size_t n = 20 + static_cast<size_t>(i) * 100;
    ASSERT_EQ(::sendto(udp.get(), buffer, n, 0, address, length), static_cast<ssize_t>(n));
    ASSERT_EQ(::recv(udp.get(), buffer, sizeof buffer, 0), static_cast<ssize_t>(n));
  }
  {
    Socket listener(::socket(AF_INET6, SOCK_STREAM, 0));
    loopback.sin6_port = 0;
    ASSERT_EQ(::bind(listener.get(), address, length), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    ::getsockname(listener.get(), address, &length);
    Socket client(::socket(AF_INET6, SOCK_STREAM, 0));
    ASSERT_EQ(::connect(client.get(), address, length), 0);
    Socket accepted(::accept(listener.get(), nullptr, nullptr));
    ASSERT_EQ(::send(client.get(), buffer, sizeof buffer, 0), static_cast<ssize_t>(sizeof buffer));
    ASSERT_EQ(::recv(accepted.get(), buffer, sizeof buffer, MSG_WAITALL),
              static_cast<ssize_t>(sizeof buffer));
  }
  Socket icmp(::socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6));
  ASSERT_GE(icmp.get(), 0) << "raw ICMPv6 socket needs CAP_NET_RAW";
  uint8_t echo[8 + 56] = {ICMP6_ECHO_REQUEST};  // the kernel fills in the checksum
  loopback.sin6_port = 0;
  ASSERT_EQ(::sendto(icmp.get(), echo, sizeof echo, 0, address, sizeof loopback),
            static_cast<ssize_t>(sizeof echo));

  // What the witness saw from ::1, by protocol, until the closing handshake
  // and the echo reply have passed.
  std::map<uint16_t, uint64_t> seen;
  uint64_t total = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  CapturedDatagram d;
  while (std::chrono::steady_clock::now() < deadline) {
    if (witness->Next(d, why) != ReadStatus::Datagram) continue;
    auto info = ParsePacketInfo(d.bytes, d.wireLength);
    if (!info || !IsLoopback(info->sourceAddress) || !info->sourceAddress.IsV6()) continue;
    seen[info->protocol] += info->length;
    total += info->length;
  }
  ASSERT_EQ(seen.size(), 3u) << "TCP, UDP and ICMPv6 from ::1";
  ASSERT_EQ(seen[58], 2u * (40 + sizeof echo));
  const IpAddress one = *ParseIp("::1");
  for (int i = 0; i < 200; ++i) {
    auto flow = StateOf(monitor_).flows.LookupAddressTotal(one);
    if (flow && flow->uploadBytes >= total) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  clock_.Advance(3);
  monitor_.RunPass();
  TrafficList::Lock lock(StateOf(monitor_).list);
  for (const auto& [protocol, bytes] : seen) {
    const int row = StateOf(monitor_).list.FindRemoteIpRow("::1", ProtocolSourceText(protocol));
    ASSERT_GE(row, 0) << protocol;
    EXPECT_EQ(StateOf(monitor_).list.Cell(row, kColumnUpload), FormatByteCount(bytes)) << protocol;
    EXPECT_EQ(StateOf(monitor_).list.Cell(row, kColumnDownload), "0 B") << protocol;
  }
}

TEST(CaptureFailureTest, UnopenableCaptureIsReportedOnceAndTheLoopKeepsGoing) {
  ManualClock clock;
  testing::QuickWaiters waiters;
  testing::TestEnv env(clock, &waiters);
  Monitor monitor(env, ".");
  std::atomic<int> opens{0};
  std::mutex m;
  std::vector<std::string> errors;
  std::vector<std::string> titles;
  env.SetCaptureOpener([&](const std::string&, Status& status) -> std::unique_ptr<CaptureSource> {
    ++opens;
    status = Status::Failed("denied");
    return nullptr;
  });
  monitor.SetErrorHandler([&](const std::string& e) { std::lock_guard l(m); errors.push_back(e); });
  monitor.SetTitleHandler([&](const std::string& t) { std::lock_guard l(m); titles.push_back(t); });
  monitor.RestartCapture("lo");
  // Two waits have ended, so the capture thread tried again; then stop:
  // stopping must not hang.
  ASSERT_TRUE(waiters.WaitForRounds(2));
  monitor.Stop();
  std::lock_guard l(m);
  EXPECT_GE(opens.load(), 2);
  EXPECT_EQ(errors, std::vector<std::string>{"Can't capture on lo: denied"});
  EXPECT_EQ(titles, std::vector<std::string>{"Corvane [lo]"});
}

}  // namespace
}  // namespace corvane
