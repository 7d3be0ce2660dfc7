// The port map's own rules: what a pass forgets, how a wildcard binding
// answers, and how exact requests and answers are handed over.
#include "attribution/port_process_map.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace corvane {
namespace {

const IpAddress kLoopback = IpAddress::V4(htonl(0x7f000001));
const IpAddress kOtherLocal = IpAddress::V4(htonl(0x7f000002));

class PortProcessMapTest : public ::testing::Test {
 protected:
  PortProcessMapTest() { map_.SetActive(true); }

  std::vector<SocketTuple> Pending() {
    std::vector<SocketTuple> out;
    map_.WaitForRequests(std::chrono::milliseconds(0), out);
    return out;
  }

  PortProcessMap map_;
};

TEST_F(PortProcessMapTest, PassForgetsEndpointsItDidNotSeeAndKeepsClosingOnes) {
  map_.Store(6, kLoopback, 5000, "gone:1");
  map_.Store(6, kLoopback, 5001, "closing:2");
  const uint64_t before = map_.Version();
  map_.ReplaceFromPass({{6, kLoopback, 5001, false, {}},
                        {6, kLoopback, 5002, true, "new:3"},
                        {6, kLoopback, 5003, false, {}}});
  EXPECT_FALSE(map_.Lookup(6, kLoopback, 5000).has_value());
  EXPECT_EQ(map_.Lookup(6, kLoopback, 5001), "closing:2");
  EXPECT_EQ(map_.Lookup(6, kLoopback, 5002), "new:3");
  EXPECT_FALSE(map_.Lookup(6, kLoopback, 5003).has_value());
  EXPECT_GT(map_.Version(), before);
}

TEST_F(PortProcessMapTest, WildcardBindingAnswersEveryAddressButExactBindingWins) {
  map_.ReplaceFromPass({{17, IpAddress::V4(0), 53, true, "resolved:10"},
                        {17, kOtherLocal, 53, true, "dnsmasq:11"}});
  EXPECT_EQ(map_.Lookup(17, kLoopback, 53), "resolved:10");
  EXPECT_EQ(map_.Lookup(17, kOtherLocal, 53), "dnsmasq:11");
  EXPECT_FALSE(map_.Lookup(6, kLoopback, 53).has_value()) << "TCP is not UDP";
  map_.SetActive(false);
  EXPECT_FALSE(map_.Lookup(17, kLoopback, 53).has_value());
}

// Sockets of tcp6/udp6: a native IPv6 binding answers for its own address;
// one on :: answers for IPv6 and, where no IPv4 socket holds the port, for
// IPv4 too; an IPv4-mapped binding is the IPv4 address it maps.
TEST_F(PortProcessMapTest, Ipv6BindingsAnswerTheirFamilyAndTheDualStackWildcardAnswersIpv4) {
  const IpAddress any6 = *ParseIp("::");
  const IpAddress own6 = *ParseIp("2001:db8::10");
  map_.ReplaceFromPass({{6, any6, 8080, true, "server:20"},
                        {6, own6, 40000, true, "curl:21"},
                        {6, *ParseIp("::ffff:127.0.0.1"), 5432, true, "postgres:22"},
                        {6, IpAddress::V4(0), 22, true, "sshd:23"},
                        {6, any6, 22, true, "sshd6:24"}});
  EXPECT_EQ(map_.Lookup(6, own6, 8080), "server:20");
  EXPECT_EQ(map_.Lookup(6, kLoopback, 8080), "server:20");
  EXPECT_EQ(map_.Lookup(6, own6, 40000), "curl:21");
  EXPECT_FALSE(map_.Lookup(6, *ParseIp("2001:db8::11"), 40000).has_value());
  EXPECT_EQ(map_.Lookup(6, kLoopback, 5432), "postgres:22");
  EXPECT_FALSE(map_.Lookup(6, own6, 5432).has_value());
  EXPECT_EQ(map_.Lookup(6, kLoopback, 22), "sshd:23");
  EXPECT_EQ(map_.Lookup(6, own6, 22), "sshd6:24");
}

TEST_F(PortProcessMapTest, AnswerIsHandedOutOnceAndNamesItsEndpoint) {
  const SocketTuple tuple{6, kLoopback, 40000, kOtherLocal, 80};
  map_.RequestExact(tuple);
  map_.RequestExact(tuple);  // already pending
  EXPECT_EQ(Pending(), std::vector<SocketTuple>{tuple});
  map_.StoreAnswer(tuple, "curl:7");
  EXPECT_EQ(map_.TakeAnswer(tuple), "curl:7");
  EXPECT_FALSE(map_.TakeAnswer(tuple).has_value());
  EXPECT_EQ(map_.Lookup(6, kLoopback, 40000), "curl:7");
}

TEST_F(PortProcessMapTest, RequestsBeyondTheCapOrWhileInactiveAreDropped) {
  for (uint32_t i = 0; i < PortProcessMap::kMaxPendingRequests + 10; ++i) {
    map_.RequestExact(
        SocketTuple{17, kLoopback, static_cast<uint16_t>(i % 65536), IpAddress::V4(i), 53});
  }
  EXPECT_EQ(Pending().size(), PortProcessMap::kMaxPendingRequests);
  map_.SetActive(false);
  map_.RequestExact(SocketTuple{17, kLoopback, 1, kOtherLocal, 53});
  EXPECT_TRUE(Pending().empty());
}

TEST_F(PortProcessMapTest, WakeEndsAWaitWithoutRequests) {
  map_.Wake();
  std::vector<SocketTuple> out;
  map_.WaitForRequests(std::chrono::hours(1), out);  // returns at once or hangs the test
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace corvane
