#include "engine/packet_info.h"

#include <gtest/gtest.h>

#include "platform/capture_source.h"
#include "platform/test_frames.h"
#include "support/datagram_builder.h"

namespace corvane {
namespace {

using testing::BuildDatagram;
using testing::BuildDatagram6;
using testing::Datagram6Fields;
using testing::DatagramFields;
using testing::Ip;

const uint32_t kA = MakeAddress(192, 168, 1, 10);
const uint32_t kB = MakeAddress(8, 8, 8, 8);

TEST(PacketInfoTest, ShortReadsAreNotDatagrams) {
  std::vector<uint8_t> bytes(19, 0x45);
  EXPECT_FALSE(ParsePacketInfo(bytes).has_value());
}

TEST(PacketInfoTest, LengthComesFromTheHeaderNotFromWhatWasReceived) {
  auto d = BuildDatagram({kA, kB, 6, 1100, 80, 0});
  d.resize(d.size() + 100);  // trailing bytes after the datagram (padding)
  auto info = ParsePacketInfo(d);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->length, 40);
  EXPECT_EQ(info->sourceAddress, IpAddress::V4(kA));
  EXPECT_EQ(info->destinationAddress, IpAddress::V4(kB));
  EXPECT_EQ(info->sourcePort, 1100);
  EXPECT_EQ(info->destinationPort, 80);
  EXPECT_EQ(info->protocol, 6);
}

TEST(PacketInfoTest, ZeroTotalLengthCountsTheBytesReceived) {
  // Segmentation offload and BIG TCP: one datagram above 64 KiB whose total
  // length field cannot hold its size and reads 0.
  auto d = BuildDatagram({kA, kB, 6, 1100, 80, 80052 - 40});
  ASSERT_EQ(d.size(), 80052u);
  d[2] = d[3] = 0;
  auto info = ParsePacketInfo(d);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->length, 80052u);
  EXPECT_EQ(info->sourcePort, 1100);
  // Live capture keeps the first 64 KiB; the wire length still counts.
  info = ParsePacketInfo(std::span<const uint8_t>(d).first(65535), 80052);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->length, 80052u);
}

TEST(PacketInfoTest, PortsAreReadAfterIpOptions) {
  DatagramFields fields{kA, kB, 17, 5353, 53, 4};
  fields.ipOptionWords = 2;
  auto info = ParsePacketInfo(BuildDatagram(fields));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->sourcePort, 5353);
  EXPECT_EQ(info->destinationPort, 53);
  EXPECT_FALSE(info->requestText.has_value());
}

TEST(PacketInfoTest, PortsBeyondTheReceivedBytesAreZeroNotReadOutOfBounds) {
  // IHL claims 60 bytes of header but only 24 bytes arrived.
  auto d = BuildDatagram({kA, kB, 17, 1, 2, 0});
  d[0] = 0x4f;
  d.resize(24);
  auto info = ParsePacketInfo(d);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->sourcePort, 0);
  EXPECT_EQ(info->destinationPort, 0);
}

TEST(PacketInfoTest, OtherProtocolsHaveNoPortsAndNoRequestText) {
  auto info = ParsePacketInfo(BuildDatagram({kA, kB, 1, 0, 0, 56}));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->protocol, 1);
  EXPECT_EQ(info->sourcePort, 0);
  EXPECT_EQ(info->destinationPort, 0);
  EXPECT_FALSE(info->requestText.has_value());
}

TEST(PacketInfoTest, TcpRequestTextStartsAtOffsetFortyWhateverTheHeaders) {
  DatagramFields fields{kA, kB, 6, 1100, 3128};
  fields.text = "GET http://web1.test/ HTTP/1.1\r\n";
  // The request text is a view into the datagram: keep the bytes alive.
  const auto plainBytes = BuildDatagram(fields);
  auto plain = ParsePacketInfo(plainBytes);
  ASSERT_TRUE(plain && plain->requestText);
  EXPECT_EQ(plain->requestText->substr(0, 3), "GET");

  fields.ipOptionWords = 1;  // the text now starts 4 bytes into the TCP header
  const auto withOptionsBytes = BuildDatagram(fields);
  auto withOptions = ParsePacketInfo(withOptionsBytes);
  ASSERT_TRUE(withOptions && withOptions->requestText);
  EXPECT_NE(withOptions->requestText->substr(0, 3), "GET");
  EXPECT_EQ(withOptions->requestText->size(), plain->requestText->size() + 4);
}

TEST(PacketInfoTest, AnAcknowledgementHasAnEmptyRequestText) {
  auto info = ParsePacketInfo(BuildDatagram({kA, kB, 6, 1100, 80, 0}));
  ASSERT_TRUE(info && info->requestText);
  EXPECT_TRUE(info->requestText->empty());
}

TEST(PacketInfoTest, Ipv6BehindEveryLinkLayerCountsFortyPlusPayloadAndFindsPortsPastExtensions) {
  namespace frames = testing_frames;
  const IpAddress a = Ip("2001:db8::10");
  const IpAddress b = Ip("2001:db8:1::53");
  struct Case {
    const char* name;
    Datagram6Fields fields;
    uint16_t protocol;
    uint16_t sourcePort;
    uint16_t destinationPort;
  };
  const std::vector<Case> datagrams = {
      {"udp", {a, b, 17, 5353, 53, 12}, 17, 5353, 53},
      {"tcp after hop-by-hop, routing and destination options",
       {a, b, 6, 40000, 443, 100, {0, 43, 60}}, 6, 40000, 443},
      {"first fragment", {a, b, 17, 4000, 4001, 1200, {44}}, 17, 4000, 4001},
      {"later fragment", {a, b, 17, 4000, 4001, 600, {0, 44}, 185}, 17, 0, 0},
      {"icmpv6 echo", {a, b, 58, 0, 0, 56}, 58, 0, 0},
      {"fragmented icmpv6 behind destination options", {a, b, 58, 0, 0, 1400, {60, 44}}, 58, 0, 0},
  };
  const std::vector<std::pair<const char*, std::pair<int, frames::Bytes>>> links = {
      {"ethernet", {kLinkEthernet, frames::EthernetHeader({0x86DD})}},
      {"802.1Q", {kLinkEthernet, frames::EthernetHeader({0x8100, 0x86DD})}},
      {"cooked v1", {kLinkLinuxSll, frames::SllHeader(0x86DD)}},
      {"cooked v2", {kLinkLinuxSll2, frames::Sll2Header(0x86DD)}},
      {"raw", {kLinkRaw, {}}},
      {"LINKTYPE_IPV6", {kLinkIpv6, {}}},
      {"BSD loopback", {kLinkNull, frames::FamilyLittleEndian(28)}},
  };
  for (const auto& [linkName, link] : links) {
    for (const Case& c : datagrams) {
      SCOPED_TRACE(std::string(linkName) + ", " + c.name);
      const frames::Bytes datagram = BuildDatagram6(c.fields);
      const frames::Bytes frame = frames::Concat(link.second, datagram);
      auto info = ParsePacketInfo(StripLinkLayer(link.first, frame));
      ASSERT_TRUE(info);
      EXPECT_EQ(info->length, datagram.size());
      EXPECT_EQ(info->sourceAddress, a);
      EXPECT_EQ(info->destinationAddress, b);
      EXPECT_EQ(info->protocol, c.protocol);
      EXPECT_EQ(info->sourcePort, c.sourcePort);
      EXPECT_EQ(info->destinationPort, c.destinationPort);
      EXPECT_EQ(info->requestText.has_value(), c.protocol == 6);
    }
  }
}

// Every prefix of an IPv6 datagram with a long extension chain is copied into
// a buffer of exactly its size, so a read past it shows under AddressSanitizer.
TEST(PacketInfoTest, Ipv6ExtensionChainCutAnywhereNeverReadsOutside) {
  Datagram6Fields fields{Ip("fe80::1"), Ip("ff02::fb"), 6, 1, 2, 8, {0, 43, 44, 60}};
  fields.text = "GET http://x/ ";
  const auto whole = BuildDatagram6(fields);
  for (size_t length = 0; length <= whole.size(); ++length) {
    const std::vector<uint8_t> prefix(whole.begin(), whole.begin() + length);
    auto info = ParsePacketInfo(prefix, whole.size());
    if (length < kIpv6HeaderLength) {
      EXPECT_FALSE(info) << length;
      continue;
    }
    ASSERT_TRUE(info) << length;
    EXPECT_EQ(info->length, whole.size());
    if (info->requestText) {
      EXPECT_LE(info->requestText->size(), fields.text.size()) << length;
    }
  }
  auto info = ParsePacketInfo(whole);
  ASSERT_TRUE(info && info->requestText);
  // Past the real TCP header, not at a fixed offset.
  EXPECT_EQ(info->requestText->substr(0, 3), "GET");
  EXPECT_EQ(info->destinationPort, 2);
}

}  // namespace
}  // namespace corvane
