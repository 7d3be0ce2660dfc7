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
constexpr uint16_t kEtherTypeIpv6 = 0x86DD;
// Tag protocol identifiers: 802.1Q, 802.1ad, and the pre-standard QinQ value
// some switches still send.
constexpr uint16_t kTpid8021Q = 0x8100;
constexpr uint16_t kTpid8021Ad = 0x88A8;
constexpr uint16_t kTpidQinQ = 0x9100;
// AF_INET is 2 on Linux and on every BSD, which is what the null and loop
// headers carry; the constant is spelled out so this file needs no system
// header.
constexpr uint32_t kBsdAfInet = 2;
// AF_INET6 differs between systems: 10 (Linux), 24 (NetBSD, OpenBSD),
// 28 (FreeBSD, DragonFly), 30 (macOS). A file may come from any of them.
bool IsBsdAfInet6(uint32_t family) {
  return family == 10 || family == 24 || family == 28 || family == 30;
}

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

// The payload from `offset` on when it starts like a datagram of
// `version` (the version nibble). The datagram parser checks the rest of the
// header.
std::span<const uint8_t> IpFrom(std::span<const uint8_t> frame, size_t offset, int version) {
  if (offset >= frame.size()) return {};
  if ((frame[offset] >> 4) != version) return {};
  return frame.subspan(offset);
}

// The payload from `offset` on when it is an IPv4 or an IPv6 datagram.
std::span<const uint8_t> IpOfEitherVersionFrom(std::span<const uint8_t> frame, size_t offset) {
  if (offset >= frame.size()) return {};
  const int version = frame[offset] >> 4;
  if (version != 4 && version != 6) return {};
  return frame.subspan(offset);
}

// The datagram behind an EtherType-style protocol field, or nothing for
// protocols other than IPv4 and IPv6.
std::span<const uint8_t> IpOfType(uint16_t type, std::span<const uint8_t> frame, size_t offset) {
  if (type == kEtherTypeIpv4) return IpFrom(frame, offset, 4);
  if (type == kEtherTypeIpv6) return IpFrom(frame, offset, 6);
  return {};
}

// Follows the type field at `typeOffset` through any number of VLAN tags (each
// tag is the TPID already read, two bytes of TCI, then the next type field)
// and returns the IP datagram behind the last type field.
std::span<const uint8_t> IpBehindTypeField(std::span<const uint8_t> frame, size_t typeOffset) {
  // Each pass moves four bytes further into the frame, so the loop ends.
  while (typeOffset + 2 <= frame.size()) {
    const uint16_t type = ReadBe16(frame, typeOffset);
    if (!IsVlanTpid(type)) return IpOfType(type, frame, typeOffset + 2);
    typeOffset += kVlanTagLength;
  }
  return {};
}

std::span<const uint8_t> IpOfBsdFamily(std::span<const uint8_t> frame, uint32_t family) {
  if (family == kBsdAfInet) return IpFrom(frame, kNullHeaderLength, 4);
  if (IsBsdAfInet6(family)) return IpFrom(frame, kNullHeaderLength, 6);
  return {};
}

std::span<const uint8_t> StripNull(std::span<const uint8_t> frame) {
  if (frame.size() < kNullHeaderLength) return {};
  // The family word is in the byte order of the host that captured, which a
  // file reader cannot know; the families are all below 256, so whichever
  // reading is small is the right one.
  const uint32_t little = frame[0] | (frame[1] << 8) | (frame[2] << 16) |
                          (static_cast<uint32_t>(frame[3]) << 24);
  const uint32_t big = (static_cast<uint32_t>(frame[0]) << 24) |
                       (frame[1] << 16) | (frame[2] << 8) | frame[3];
  // Only the low byte of either reading is non-zero for a real family.
  return IpOfBsdFamily(frame, little <= 0xff ? little : big);
}

std::span<const uint8_t> StripLoop(std::span<const uint8_t> frame) {
  if (frame.size() < kNullHeaderLength) return {};
  const uint32_t family = (static_cast<uint32_t>(frame[0]) << 24) |
                          (frame[1] << 16) | (frame[2] << 8) | frame[3];
  return IpOfBsdFamily(frame, family);
}

std::span<const uint8_t> StripSll2(std::span<const uint8_t> frame) {
  if (frame.size() < kSll2HeaderLength) return {};
  return IpOfType(ReadBe16(frame, 0), frame, kSll2HeaderLength);
}

}  // namespace

std::span<const uint8_t> StripLinkLayer(int linkType,
                                        std::span<const uint8_t> frame) {
  switch (linkType) {
    case kLinkEthernet:
      return IpBehindTypeField(frame, kEthernetTypeOffset);
    case kLinkLinuxSll:
      // libpcap puts a VLAN tag the kernel took off back in front of the
      // protocol field of a cooked header, as it does for Ethernet.
      return IpBehindTypeField(frame, kSllTypeOffset);
    case kLinkLinuxSll2:
      return StripSll2(frame);
    case kLinkRaw:
    case kLinkRawAlt:
    case kLinkRawAlt2:
      // Raw links carry either version; only the version nibble tells them
      // apart.
      return IpOfEitherVersionFrom(frame, 0);
    case kLinkIpv4:
      return IpFrom(frame, 0, 4);
    case kLinkIpv6:
      return IpFrom(frame, 0, 6);
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
    case kLinkIpv6:
    case kLinkLinuxSll2:
    case kLinkRawAlt:
    case kLinkRawAlt2:
      return true;
    default:
      return false;
  }
}

}  // namespace corvane
