// Address texts: the list's "Remote IP" cell and its lookups depend on the
// exact dotted form.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>

#include "platform/host_names.h"
#include "platform/ip_address.h"
#include "platform/net.h"

namespace corvane {
namespace {

std::string SystemText(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr in{};
  in.s_addr = address;
  ::inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

TEST(AddressTextTest, MatchesTheSystemsDottedFormEverywhere) {
  // Every octet value in every position (zeros, one/two/three digits,
  // 255), then random addresses.
  for (uint32_t value = 0; value < 256; ++value) {
    for (int shift = 0; shift < 32; shift += 8) {
      uint32_t address = value << shift | (value == 7 ? 0xffffffffu & ~(0xffu << shift) : 0);
      ASSERT_EQ(FormatAddress(address), SystemText(address)) << address;
    }
  }
  std::mt19937 random(3);
  for (int i = 0; i < 200000; ++i) {
    uint32_t address = static_cast<uint32_t>(random());
    ASSERT_EQ(FormatAddress(address), SystemText(address)) << address;
  }
  EXPECT_EQ(FormatAddress(0), "0.0.0.0");
  EXPECT_EQ(FormatAddress(0xffffffffu), "255.255.255.255");
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

TEST(IpAddressTextTest, SixTextsAreRfc5952AndPrefixesMatchOnlyTheirFamily) {
  EXPECT_EQ(FormatIp(*ParseIp("2001:DB8:0:0:1:0:0:1")), "2001:db8::1:0:0:1");
  EXPECT_EQ(FormatIp(*ParseIp("2001:db8:0:1:1:1:1:1")), "2001:db8:0:1:1:1:1:1");
  EXPECT_EQ(FormatIp(*ParseIp("::ffff:192.0.2.1")), "::ffff:192.0.2.1");
  EXPECT_EQ(FormatIp(*ParseIp("198.18.0.1")), "198.18.0.1");
  EXPECT_FALSE(ParseIp("fe80::1%eth0"));
  EXPECT_FALSE(ParseIp(std::string_view("10.0.0.1\0", 9)));
  EXPECT_FALSE(ParsePrefix("10.0.0.0/33"));

  const IpPrefix v4 = *ParsePrefix("198.18.0.0/15");
  EXPECT_TRUE(v4.Contains(*ParseIp("198.19.255.255")));
  EXPECT_FALSE(v4.Contains(*ParseIp("198.20.0.0")));
  EXPECT_FALSE(v4.Contains(*ParseIp("::ffff:198.18.0.1")));
  const IpPrefix v6 = *ParsePrefix("2001:db8::/33");
  EXPECT_TRUE(v6.Contains(*ParseIp("2001:db8:7fff::1")));
  EXPECT_FALSE(v6.Contains(*ParseIp("2001:db8:8000::1")));

  LocalNetworks local{{*ParseIp("2001:db8::5")}, {v6}};
  EXPECT_TRUE(local.IsOwnAddress(*ParseIp("2001:db8::5")));
  EXPECT_TRUE(local.IsLocalArea(*ParseIp("fe80::1")));
  EXPECT_TRUE(local.IsLocalArea(*ParseIp("fd00::1")));
  EXPECT_FALSE(local.IsLocalArea(*ParseIp("2001:db9::1")));
  EXPECT_TRUE(IsMulticast(*ParseIp("ff02::1")) && IsMulticast(*ParseIp("224.0.0.251")));
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// Private and loopback addresses never reach an upstream resolver: they
// are named from /etc/hosts unless every resolver runs on this machine.
TEST(HostNameSourceTest, LocalScopeAddressesAreNamedOnlyFromLocalSources) {
  for (const char* local : {"10.1.2.3", "172.31.0.1", "192.168.1.1", "127.0.1.1", "169.254.9.9",
                            "100.64.0.1", "fe80::1", "fd12::1", "::1"}) {
    EXPECT_TRUE(IsLocalScopeAddress(*ParseIp(local))) << local;
  }
  for (const char* remote : {"172.32.0.1", "8.8.8.8", "2001:db8::1", "192.169.0.1"}) {
    EXPECT_FALSE(IsLocalScopeAddress(*ParseIp(remote))) << remote;
  }
  EXPECT_TRUE(ResolverIsOnThisMachine("# stub\nnameserver 127.0.0.53\noptions edns0\n"));
  EXPECT_FALSE(ResolverIsOnThisMachine("nameserver 127.0.0.53\nnameserver 9.9.9.9\n"));
  EXPECT_FALSE(ResolverIsOnThisMachine("search lan\n")) << "no server: glibc asks a default one";
  const char* hosts = "127.0.0.1 localhost\n# 192.168.1.1 old\n192.168.1.1\trouter.lan router\n";
  EXPECT_EQ(NameFromHostsFile(*ParseIp("192.168.1.1"), hosts), "router.lan");
  EXPECT_EQ(NameFromHostsFile(*ParseIp("192.168.1.2"), hosts), std::nullopt);
}

}  // namespace
}  // namespace corvane
