#include "support/test_env.h"
#include "engine/proxy_attribution.h"

#include <gtest/gtest.h>

#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "platform/net.h"
#include "storage/settings.h"
#include "support/datagram_builder.h"

namespace corvane {
namespace {

using namespace std::string_literals;

const uint32_t kLocal = MakeAddress(192, 168, 0, 2);
const uint32_t kProxy = MakeAddress(10, 0, 0, 1);
constexpr uint16_t kProxyPort = 3128;

class ProxyAttributionTest : public ::testing::Test {
 protected:
  ProxyAttributionTest() : monitor_(env_, "") {
    monitor_.SetLocalNetworks(LocalNetworks{{IpAddress::V4(kLocal)}, {}});
    OptionsResult options;
    options.interfaceAddress = kLocal;
    options.proxyEnabled = true;
    options.proxyHostText = "10.0.0.1";
    options.proxyPortText = "3128";
    monitor_.ApplyOptions(options);
  }

  // A TCP datagram between the workstation's `localPort` and the proxy.
  void Send(uint16_t localPort, const std::string& payload, uint16_t length = 100) {
    PacketInfo info;
    info.sourceAddress = IpAddress::V4(kLocal);
    info.destinationAddress = IpAddress::V4(kProxy);
    info.sourcePort = localPort;
    info.destinationPort = kProxyPort;
    info.protocol = kProtocolTcp;
    info.length = length;
    info.requestText = std::string_view(payload);
    monitor_.AccountDatagram(info);
  }
  void Receive(uint16_t localPort, uint16_t length) {
    PacketInfo info;
    info.sourceAddress = IpAddress::V4(kProxy);
    info.destinationAddress = IpAddress::V4(kLocal);
    info.sourcePort = kProxyPort;
    info.destinationPort = localPort;
    info.protocol = kProtocolTcp;
    info.length = length;
    info.requestText = std::string_view();
    monitor_.AccountDatagram(info);
  }
  // The hosts of the queued proxy events, in order, and empties the queue.
  std::vector<std::string> QueuedHosts() {
    std::vector<ProxyEvent> events;
    StateOf(monitor_).proxyQueue.TakeReady(clock_.Now() + 100, events);
    std::vector<std::string> hosts;
    for (const ProxyEvent& event : events) hosts.push_back(event.host);
    return hosts;
  }
  void ShowAll() {
    clock_.Advance(3);
    monitor_.ShowReadyEvents();
  }
  std::vector<RowCells> Rows() {
    TrafficList::Lock lock(StateOf(monitor_).list);
    return StateOf(monitor_).list.Rows();
  }

  ManualClock clock_{1000};
  testing::TestEnv env_{clock_};
  Monitor monitor_;
};

TEST_F(ProxyAttributionTest, RequestTeachesThePortItsHostForBothDirections) {
  Send(1100, "GET http://web1.test/ HTTP/1.1\r\nHost: web1.test\r\n\r\n");
  Receive(1100, 1500);
  Receive(1100, 400);
  std::vector<ProxyEvent> events;
  StateOf(monitor_).proxyQueue.TakeReady(clock_.Now() + 100, events);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].host, "web1.test");
  EXPECT_EQ(events[0].direction, kDirectionUpload);
  EXPECT_EQ(events[0].localPort, 1100);
  EXPECT_EQ(events[1].direction, kDirectionDownload);
  EXPECT_EQ(events[2].length, 400);
  // Taken over: no address flow for the proxy.
  EXPECT_EQ(StateOf(monitor_).flows.AddressFlowCount(), 0u);
}

// A proxy on an IPv6 address: the request is read behind the real TCP
// header of whole IPv6 datagrams, and the IPv4 proxy is no longer one.
TEST_F(ProxyAttributionTest, ProxyOnAnIpv6AddressTakesItsFlowsOverFromParsedDatagrams) {
  const IpAddress local6 = testing::Ip("2001:db8::2");
  const IpAddress proxy6 = testing::Ip("2001:db8::3128");
  LocalNetworks networks;
  networks.addresses = {IpAddress::V4(kLocal), local6};
  monitor_.SetLocalNetworks(networks);
  OptionsResult options;
  options.interfaceAddress = kLocal;
  options.proxyEnabled = true;
  options.proxyHostText = FormatIp(proxy6);
  options.proxyPortText = "3128";
  monitor_.ApplyOptions(options);

  testing::Datagram6Fields request{local6, proxy6, 6, 1200, kProxyPort, 0, {0}};
  request.text = "GET http://six.test/ HTTP/1.1\r\n\r\n";
  const auto requestBytes = testing::BuildDatagram6(request);
  const auto replyBytes = testing::BuildDatagram6({proxy6, local6, 6, kProxyPort, 1200, 900});
  for (const auto* bytes : {&requestBytes, &replyBytes}) {
    auto info = ParsePacketInfo(*bytes);
    ASSERT_TRUE(info);
    monitor_.AccountDatagram(*info);
  }
  Send(1100, "GET http://four.test/ HTTP/1.1\r\n\r\n");
  EXPECT_EQ(QueuedHosts(), (std::vector<std::string>{"six.test", "six.test"}));
  EXPECT_TRUE(StateOf(monitor_).flows.LookupAddressTotal(IpAddress::V4(kProxy)).has_value());
}

TEST_F(ProxyAttributionTest, OtherPortsAndProtocolsWithTheProxyAreOrdinaryFlows) {
  PacketInfo info;
  info.sourceAddress = IpAddress::V4(kLocal);
  info.destinationAddress = IpAddress::V4(kProxy);
  info.sourcePort = 1100;
  info.destinationPort = 80;
  info.protocol = kProtocolTcp;
  info.length = 60;
  info.requestText = std::string_view("GET http://web1.test/ HTTP/1.1");
  monitor_.AccountDatagram(info);
  info.destinationPort = kProxyPort;
  info.protocol = kProtocolUdp;
  info.requestText.reset();
  monitor_.AccountDatagram(info);
  EXPECT_EQ(StateOf(monitor_).flows.LookupAddressTotal(IpAddress::V4(kProxy))->uploadBytes, 120u);
  EXPECT_TRUE(QueuedHosts().empty());
}

TEST_F(ProxyAttributionTest, GetIsSearchedBeforePostAndCaseMatters) {
  Send(1200, "POST http://form.test/submit HTTP/1.1\r\n");
  EXPECT_EQ(QueuedHosts(), std::vector<std::string>{"form.test"});
  // "GET" further on is found first; no URL follows it, so the port keeps
  // its host.
  Send(1200, "POST http://other.test/x HTTP/1.1\r\nX-Note: GET it\r\n");
  EXPECT_EQ(QueuedHosts(), std::vector<std::string>{"form.test"});
  Send(1300, "get http://lower.test/ HTTP/1.1\r\n");
  EXPECT_TRUE(QueuedHosts().empty());  // not recognised: port 1300 has no host
}

TEST_F(ProxyAttributionTest, KeepAliveConnectionSwitchesHostAtTheNewRequest) {
  Send(1400, "GET http://a.test/1 HTTP/1.1\r\n");
  Receive(1400, 1000);
  Send(1400, "GET http://b.test/2 HTTP/1.1\r\n");
  Receive(1400, 1000);
  EXPECT_EQ(QueuedHosts(), (std::vector<std::string>{"a.test", "a.test", "b.test", "b.test"}));
}

TEST_F(ProxyAttributionTest, ConnectTrafficIsCountedNowhere) {
  Send(1500, "CONNECT secure.test:443 HTTP/1.1\r\n\r\n");
  Receive(1500, 1500);
  EXPECT_TRUE(QueuedHosts().empty());
  EXPECT_EQ(StateOf(monitor_).flows.AddressFlowCount(), 0u);
  StateOf(monitor_).counters.Tick();
  EXPECT_EQ(StateOf(monitor_).flows.Totals().downloadBytes, 0u);
  EXPECT_EQ(StateOf(monitor_).flows.Totals().uploadBytes, 0u);
}

TEST_F(ProxyAttributionTest, ZeroByteAmongHeaderOptionsHidesTheRequest) {
  // With TCP options the text starts inside them; a zero byte ends it.
  Send(1600, "\x01\x01\x08\x0a\x00\x00\x01\x02GET http://web1.test/ HTTP/1.1\r\n"s);
  EXPECT_TRUE(QueuedHosts().empty());
  // Option bytes without a zero: the request is still found.
  Send(1600, "\x01\x01\x08\x0a\x11\x22\x33\x44GET http://web1.test/ HTTP/1.1\r\n"s);
  EXPECT_EQ(QueuedHosts(), std::vector<std::string>{"web1.test"});
}

TEST_F(ProxyAttributionTest, HostTextCannotCarryBlanksOrControlCharacters) {
  Send(1700, "GET http://web3.test HTTP/1.0\r\n\r\n");
  EXPECT_EQ(QueuedHosts(), std::vector<std::string>{"web3.test_HTTP"});
  Send(1700, "GET http://evil\ttest\x7f/ HTTP/1.0\r\n");
  EXPECT_EQ(QueuedHosts(), std::vector<std::string>{"evil_test_"});
}

TEST(ExtractRequestHostTest, FollowsTheUrlRules) {
  EXPECT_EQ(ExtractRequestHost("GET http://web1.test/index.html HTTP/1.0"), "web1.test");
  EXPECT_EQ(ExtractRequestHost("GET http://web2.test:8080/a HTTP/1.1"), "web2.test:8080");
  EXPECT_EQ(ExtractRequestHost("GET /relative HTTP/1.1"), "");
  EXPECT_EQ(ExtractRequestHost("GET http://no-end"), "");
  EXPECT_EQ(ExtractRequestHost("GET http://" + std::string(300, 'h') + "/").size(), 254u);
}

TEST_F(ProxyAttributionTest, FirstEventMakesAZeroRowAndLaterEventsCount) {
  Send(1800, "GET http://10.0.0.7/ HTTP/1.1\r\n", 120);
  Receive(1800, 1500);
  Receive(1800, 500);
  ShowAll();
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][kColumnRemoteIp], "10.0.0.7");  // a dotted host is its own address
  EXPECT_EQ(rows[0][kColumnRemoteHost], "10.0.0.7");
  EXPECT_EQ(rows[0][kColumnDownload], "1.95 KB");  // the request itself is not counted
  EXPECT_EQ(rows[0][kColumnUpload], "0 B");
  EXPECT_EQ(rows[0][kColumnLocalSource], "TCP protocol");
  EXPECT_EQ(StateOf(monitor_).counters.tickDownloadBytes.load(), 2000u);
  EXPECT_EQ(StateOf(monitor_).counters.tickUploadBytes.load(), 0u);
}

TEST_F(ProxyAttributionTest, UnresolvableHostShowsTheProxyHostText) {
  Send(1900, "GET http://no-such-host.invalid/ HTTP/1.1\r\n");
  ShowAll();
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][kColumnRemoteIp], "10.0.0.1");

  OptionsResult off;
  off.interfaceAddress = kLocal;
  off.proxyEnabled = true;
  off.proxyHostText = "";  // no host text: "???"
  monitor_.ApplyOptions(off);
  EXPECT_EQ(StateOf(monitor_).settings.proxyAddress.load(), 0xffffffffu);
}

TEST_F(ProxyAttributionTest, ProxyRowAndAddressRowWithTheSameTextsKeepTheirOwnCounts) {
  // The web host is the proxy's own address, so both rows read "10.0.0.1",
  // "10.0.0.1", "TCP protocol"; they are still two flows.
  Send(2000, "GET http://10.0.0.1/ HTTP/1.1\r\n", 120);
  Receive(2000, 140);
  ShowAll();
  PacketInfo info;
  info.sourceAddress = IpAddress::V4(kLocal);
  info.destinationAddress = IpAddress::V4(kProxy);
  info.sourcePort = 2001;
  info.destinationPort = 80;  // not the proxy port: an ordinary flow
  info.protocol = kProtocolTcp;
  info.length = 132;
  info.requestText = std::string_view();
  monitor_.AccountDatagram(info);
  ShowAll();
  Receive(2000, 60);
  ShowAll();
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][kColumnRemoteIp], rows[1][kColumnRemoteIp]);
  EXPECT_EQ(rows[0][kColumnLocalSource], rows[1][kColumnLocalSource]);
  EXPECT_EQ(rows[1][kColumnDownload], "200 B");  // the web host's, updated last
  EXPECT_EQ(rows[1][kColumnUpload], "0 B");
  EXPECT_EQ(rows[0][kColumnDownload], "0 B");
  EXPECT_EQ(rows[0][kColumnUpload], "132 B");
}

TEST(ApplyOptionsTest, TakesOverMaskFlagsAndProxyWithoutRestartingCapture) {
  ManualClock clock;
  testing::TestEnv env(clock);
  Monitor monitor(env, "");
  StateOf(monitor).settings.interfaceAddress = kLocal;
  OptionsResult options;
  options.interfaceAddress = kLocal;
  options.interfaceMask = MakeAddress(255, 255, 255, 0);
  options.hideLanFlows = true;
  options.freezeGraph = true;
  options.proxyEnabled = true;
  options.proxyHostText = "10.0.0.5";
  options.proxyPortText = "70000";
  monitor.ApplyOptions(options);
  EXPECT_EQ(StateOf(monitor).settings.interfaceMask.load(), MakeAddress(255, 255, 255, 0));
  EXPECT_TRUE(StateOf(monitor).settings.hideLanFlows.load());
  EXPECT_TRUE(StateOf(monitor).settings.freezeGraph.load());
  EXPECT_EQ(StateOf(monitor).settings.ProxyHost(), "10.0.0.5");
  EXPECT_EQ(StateOf(monitor).settings.proxyAddress.load(), MakeAddress(10, 0, 0, 5));
  EXPECT_EQ(StateOf(monitor).settings.proxyPort.load(), 4464);
  EXPECT_FALSE(monitor.IsRunning());
}

}  // namespace
}  // namespace corvane
