// Removal of link-layer headers: the pure half of capture_source.h. Every
// read is checked against the frame's length first, so a frame of any shape
// (cut short, lying about its tags, empty) yields an empty span, never a read
// outside it.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/capture_source.h"

namespace corvane {
namespace {

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
// Tag protocol identifiers: 802.1Q, 802.1ad, and the pre-standard QinQ value
// some switches still send.
constexpr uint16_t kTpid8021Q = 0x8100;
constexpr uint16_t kTpid8021Ad = 0x88A8;
constexpr uint16_t kTpidQinQ = 0x9100;
// AF_INET is 2 on Linux and on every BSD, which is what the null and loop
// headers carry; the constant is spelled out so this file needs no system
// header.
constexpr uint32_t kBsdAfInet = 2;

constexpr size_t kEthernetTypeOffset = 12;
constexpr size_t kSllTypeOffset = 14;
constexpr size_t kSll2HeaderLength = 20;
constexpr size_t kNullHeaderLength = 4;
constexpr size_t kVlanTagLength = 4;

uint16_t ReadBe16(std::span<const uint8_t> frame, size_t offset) {
  return static_cast<uint16_t>((frame[offset] << 8) | frame[offset + 1]);
}

bool IsVlanTpid(uint16_t type) {
  return type == kTpid8021Q || type == kTpid8021Ad || type == kTpidQinQ;
}

// The payload from `offset` on when it starts like an IPv4 datagram (version
// nibble 4). The datagram parser checks the rest of the header.
std::span<const uint8_t> Ipv4From(std::span<const uint8_t> frame,
                                  size_t offset) {
  if (offset >= frame.size()) return {};
  if ((frame[offset] >> 4) != 4) return {};
  return frame.subspan(offset);
}

// Follows the type field at `typeOffset` through any number of VLAN tags (each
// tag is the TPID already read, two bytes of TCI, then the next type field)
// and returns the IPv4 payload behind the last type field.
std::span<const uint8_t> Ipv4BehindTypeField(std::span<const uint8_t> frame,
                                             size_t typeOffset) {
  // Each pass moves four bytes further into the frame, so the loop ends.
  while (typeOffset + 2 <= frame.size()) {
    const uint16_t type = ReadBe16(frame, typeOffset);
    if (type == kEtherTypeIpv4) return Ipv4From(frame, typeOffset + 2);
    if (!IsVlanTpid(type)) return {};
    typeOffset += kVlanTagLength;
  }
  return {};
}

std::span<const uint8_t> StripNull(std::span<const uint8_t> frame) {
  if (frame.size() < kNullHeaderLength) return {};
  // The family word is in the byte order of the host that captured, which a
  // file reader cannot know; 2 read either way round is AF_INET.
  const uint32_t little = frame[0] | (frame[1] << 8) | (frame[2] << 16) |
                          (static_cast<uint32_t>(frame[3]) << 24);
  const uint32_t big = (static_cast<uint32_t>(frame[0]) << 24) |
                       (frame[1] << 16) | (frame[2] << 8) | frame[3];
  if (little != kBsdAfInet && big != kBsdAfInet) return {};
  return Ipv4From(frame, kNullHeaderLength);
}

std::span<const uint8_t> StripLoop(std::span<const uint8_t> frame) {
  if (frame.size() < kNullHeaderLength) return {};
  const uint32_t family = (static_cast<uint32_t>(frame[0]) << 24) |
                          (frame[1] << 16) | (frame[2] << 8) | frame[3];
  if (family != kBsdAfInet) return {};
  return Ipv4From(frame, kNullHeaderLength);
}

std::span<const uint8_t> StripSll2(std::span<const uint8_t> frame) {
  if (frame.size() < kSll2HeaderLength) return {};
  if (ReadBe16(frame, 0) != kEtherTypeIpv4) return {};
  return Ipv4From(frame, kSll2HeaderLength);
}

}  // namespace

std::span<const uint8_t> StripLinkLayer(int linkType,
                                        std::span<const uint8_t> frame) {
  switch (linkType) {
    case kLinkEthernet:
      return Ipv4BehindTypeField(frame, kEthernetTypeOffset);
    case kLinkLinuxSll:
      // libpcap puts a VLAN tag the kernel took off back in front of the
      // protocol field of a cooked header, as it does for Ethernet.
      return Ipv4BehindTypeField(frame, kSllTypeOffset);
    case kLinkLinuxSll2:
      return StripSll2(frame);
    case kLinkRaw:
    case kLinkRawAlt:
    case kLinkRawAlt2:
    case kLinkIpv4:
      // Raw links may also carry IPv6; only the version nibble tells them
      // apart.
      return Ipv4From(frame, 0);
    case kLinkNull:
      return StripNull(frame);
    case kLinkLoop:
      return StripLoop(frame);
    default:
      return {};
  }
}

bool IsSupportedLinkType(int linkType) {
  switch (linkType) {
    case kLinkNull:
    case kLinkEthernet:
    case kLinkRaw:
    case kLinkLoop:
    case kLinkLinuxSll:
    case kLinkIpv4:
    case kLinkLinuxSll2:
    case kLinkRawAlt:
    case kLinkRawAlt2:
      return true;
    default:
      return false;
  }
}

}  // namespace corvane
