// StripLinkLayer: every link type with either IP version, tagged Ethernet,
// frames that carry neither, and frames cut short anywhere.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "platform/capture_source.h"
#include "test_frames.h"

namespace corvane {
namespace {

using testing_frames::AllLinkCases;
using testing_frames::Bytes;
using testing_frames::Concat;
using testing_frames::DatagramOf;
using testing_frames::EthernetHeader;
using testing_frames::FamilyBigEndian;
using testing_frames::FamilyLittleEndian;
using testing_frames::Ipv4Datagram;
using testing_frames::Ipv6Packet;
using testing_frames::LinkCase;
using testing_frames::Sll2Header;
using testing_frames::SllHeader;

bool IsEmpty(int linkType, const Bytes& frame) {
  return StripLinkLayer(linkType, frame).empty();
}

class StripLinkLayerEveryType : public ::testing::TestWithParam<LinkCase> {};

TEST_P(StripLinkLayerEveryType, DatagramBehindHeaderIsReturnedWhole) {
  const LinkCase& c = GetParam();
  const Bytes datagram = DatagramOf(c.version);
  const Bytes frame = Concat(c.header, datagram);
  const auto ip = StripLinkLayer(c.linkType, frame);
  ASSERT_EQ(ip.size(), datagram.size());
  EXPECT_EQ(ip.data(), frame.data() + c.header.size());
  EXPECT_TRUE(std::equal(ip.begin(), ip.end(), datagram.begin()));
  EXPECT_TRUE(IsSupportedLinkType(c.linkType));
}

// Each prefix is copied into a buffer of exactly its length, so a read past
// the end shows up under AddressSanitizer, and the answer must lie inside it.
TEST_P(StripLinkLayerEveryType, ShortenedFrameNeverReadsOutside) {
  const LinkCase& c = GetParam();
  const Bytes frame = Concat(c.header, DatagramOf(c.version));
  for (size_t length = 0; length <= frame.size(); ++length) {
    const Bytes prefix(frame.begin(), frame.begin() + length);
    const auto ip = StripLinkLayer(c.linkType, prefix);
    if (length <= c.header.size()) {
      EXPECT_TRUE(ip.empty()) << "length " << length;
    } else {
      ASSERT_EQ(ip.size(), length - c.header.size()) << "length " << length;
      EXPECT_EQ(ip.data(), prefix.data() + c.header.size());
    }
  }
}

TEST_P(StripLinkLayerEveryType, OtherVersionThanTheHeaderAnnouncesIsRejected) {
  const LinkCase& c = GetParam();
  const Bytes frame = Concat(c.header, DatagramOf(c.version == 6 ? 4 : 6));
  EXPECT_EQ(IsEmpty(c.linkType, frame), !c.eitherVersion);
  Bytes wrongVersion = Concat(c.header, DatagramOf(c.version));
  wrongVersion[c.header.size()] = 0x55;
  EXPECT_TRUE(IsEmpty(c.linkType, wrongVersion));
}

INSTANTIATE_TEST_SUITE_P(
    LinkTypes, StripLinkLayerEveryType, ::testing::ValuesIn(AllLinkCases()),
    [](const ::testing::TestParamInfo<LinkCase>& info) {
      return info.param.name;
    });

TEST(StripLinkLayer, EthernetWithOtherEtherTypesIsRejected) {
  const Bytes datagram = Ipv4Datagram();
  EXPECT_TRUE(IsEmpty(kLinkEthernet, Concat(EthernetHeader({0x0806}),
                                            datagram)));  // ARP
  EXPECT_TRUE(IsEmpty(kLinkEthernet, Concat(EthernetHeader({0x0842}),
                                            Ipv6Packet())));  // Wake-on-LAN
  EXPECT_TRUE(IsEmpty(kLinkEthernet, Concat(EthernetHeader({0x8100, 0x0806}),
                                            datagram)));
  // An 802.3 length field followed by LLC is not an EtherType.
  EXPECT_TRUE(IsEmpty(kLinkEthernet, Concat(EthernetHeader({0x0040}),
                                            datagram)));
}

TEST(StripLinkLayer, EthernetTypeIpv4WithWrongVersionIsRejected) {
  EXPECT_TRUE(IsEmpty(kLinkEthernet, Concat(EthernetHeader({0x0800}),
                                            Ipv6Packet())));
}

TEST(StripLinkLayer, FrameOfNothingButTagsEndsInside) {
  Bytes frame = EthernetHeader({0x8100});
  for (int i = 0; i < 40; ++i) {
    frame.insert(frame.end(), {0x00, 0x01, 0x81, 0x00});
  }
  EXPECT_TRUE(IsEmpty(kLinkEthernet, frame));
  frame.push_back(0x00);  // half a TCI after the last tag
  EXPECT_TRUE(IsEmpty(kLinkEthernet, frame));
}

TEST(StripLinkLayer, CookedHeadersWithOtherProtocolsAreRejected) {
  const Bytes datagram = Ipv4Datagram();
  EXPECT_TRUE(IsEmpty(kLinkLinuxSll, Concat(SllHeader(0x0806), datagram)));
  EXPECT_TRUE(IsEmpty(kLinkLinuxSll2, Concat(Sll2Header(0x0806), datagram)));
  // v1 and v2 keep the protocol at different places: reading one as the
  // other must not find IPv4.
  EXPECT_TRUE(IsEmpty(kLinkLinuxSll2, Concat(SllHeader(0x0800), datagram)));
}

TEST(StripLinkLayer, LoopbackFamiliesOtherThanInetAndInet6AreRejected) {
  const Bytes datagram = Ipv4Datagram();
  for (uint32_t family : {0u, 1u, 7u, 17u, 0x0a0a0a0au}) {
    EXPECT_TRUE(IsEmpty(kLinkNull, Concat(FamilyLittleEndian(family), Ipv6Packet())));
    EXPECT_TRUE(IsEmpty(kLinkLoop, Concat(FamilyBigEndian(family), Ipv6Packet())));
  }
  // The loop header is always in network order.
  EXPECT_TRUE(IsEmpty(kLinkLoop, Concat(FamilyLittleEndian(2), datagram)));
}

TEST(StripLinkLayer, UnknownLinkTypeIsRejected) {
  const Bytes datagram = Ipv4Datagram();
  EXPECT_TRUE(IsEmpty(105, datagram));  // IEEE 802.11
  EXPECT_TRUE(IsEmpty(-1, datagram));
  EXPECT_FALSE(IsSupportedLinkType(105));
  EXPECT_TRUE(StripLinkLayer(kLinkEthernet, std::span<const uint8_t>()).empty());
}

}  // namespace
}  // namespace corvane
