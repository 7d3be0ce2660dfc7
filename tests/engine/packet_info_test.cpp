#include "engine/packet_info.h"

#include <gtest/gtest.h>

#include "support/datagram_builder.h"

namespace corvane {
namespace {

using testing::BuildDatagram;
using testing::DatagramFields;

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
  EXPECT_EQ(info->sourceAddress, kA);
  EXPECT_EQ(info->destinationAddress, kB);
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

}  // namespace
}  // namespace corvane
