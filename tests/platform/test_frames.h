// Frames for the platform tests: small IPv4 and IPv6 datagrams and the
// link-layer headers that capture files and interfaces put in front of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/capture_source.h"

namespace corvane::testing_frames {

using Bytes = std::vector<uint8_t>;

// A UDP datagram from 10.0.0.1 to 10.0.0.2 with `payload` bytes of data; the
// total length field is filled in, the checksum is left zero.
inline Bytes Ipv4Datagram(size_t payload = 12) {
  const size_t total = 20 + 8 + payload;
  Bytes d = {0x45, 0x00, static_cast<uint8_t>(total >> 8),
             static_cast<uint8_t>(total), 0x12, 0x34, 0x40, 0x00, 64, 17,
             0x00, 0x00, 10, 0, 0, 1, 10, 0, 0, 2,
             0x30, 0x39, 0x00, 0x35,
             static_cast<uint8_t>((8 + payload) >> 8),
             static_cast<uint8_t>(8 + payload), 0x00, 0x00};
  for (size_t i = 0; i < payload; ++i) d.push_back(static_cast<uint8_t>(i));
  return d;
}

// The first bytes of an IPv6 header (version 6) with a small payload.
inline Bytes Ipv6Packet() {
  Bytes d(48, 0);
  d[0] = 0x60;
  d[6] = 17;
  d[7] = 64;
  return d;
}

inline Bytes Concat(const Bytes& header, const Bytes& payload) {
  Bytes out = header;
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

inline Bytes EthernetHeader(std::vector<uint16_t> types) {
  Bytes h = {0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1};
  for (size_t i = 0; i < types.size(); ++i) {
    h.push_back(static_cast<uint8_t>(types[i] >> 8));
    h.push_back(static_cast<uint8_t>(types[i]));
    // Every type but the last is a tag protocol identifier: its TCI follows.
    if (i + 1 < types.size()) {
      h.push_back(0x00);
      h.push_back(static_cast<uint8_t>(10 + i));
    }
  }
  return h;
}

inline Bytes SllHeader(uint16_t protocol) {
  return {0x00, 0x00, 0x00, 0x01, 0x00, 0x06, 0x02, 0, 0, 0,
          0,    1,    0,    0,    static_cast<uint8_t>(protocol >> 8),
          static_cast<uint8_t>(protocol)};
}

inline Bytes Sll2Header(uint16_t protocol) {
  return {static_cast<uint8_t>(protocol >> 8), static_cast<uint8_t>(protocol),
          0, 0, 0, 0, 0, 2, 0x00, 0x01, 0x00, 0x06, 0x02, 0, 0, 0, 0, 1, 0, 0};
}

inline Bytes FamilyLittleEndian(uint32_t family) {
  return {static_cast<uint8_t>(family), static_cast<uint8_t>(family >> 8),
          static_cast<uint8_t>(family >> 16),
          static_cast<uint8_t>(family >> 24)};
}

inline Bytes FamilyBigEndian(uint32_t family) {
  return {static_cast<uint8_t>(family >> 24),
          static_cast<uint8_t>(family >> 16),
          static_cast<uint8_t>(family >> 8), static_cast<uint8_t>(family)};
}

// One way of carrying a datagram: a link type, the header in front and the
// IP version it announces. Raw links announce none and carry either.
struct LinkCase {
  std::string name;
  int linkType;
  Bytes header;
  int version = 4;
  bool eitherVersion = false;
};

inline Bytes DatagramOf(int version) { return version == 6 ? Ipv6Packet() : Ipv4Datagram(); }

inline std::vector<LinkCase> AllLinkCases() {
  return {
      {"Ethernet", kLinkEthernet, EthernetHeader({0x0800})},
      {"Ethernet8021Q", kLinkEthernet, EthernetHeader({0x8100, 0x0800})},
      {"Ethernet8021ad", kLinkEthernet, EthernetHeader({0x88A8, 0x0800})},
      {"Ethernet9100", kLinkEthernet, EthernetHeader({0x9100, 0x0800})},
      {"EthernetStackedTags", kLinkEthernet,
       EthernetHeader({0x88A8, 0x8100, 0x8100, 0x0800})},
      {"LinuxSll", kLinkLinuxSll, SllHeader(0x0800)},
      {"LinuxSllTagged", kLinkLinuxSll,
       Concat(SllHeader(0x8100), {0x00, 0x07, 0x08, 0x00})},
      {"LinuxSll2", kLinkLinuxSll2, Sll2Header(0x0800)},
      {"Raw", kLinkRaw, {}, 4, true},
      {"RawDlt12", kLinkRawAlt, {}, 4, true},
      {"RawDlt14", kLinkRawAlt2, {}, 4, true},
      {"Ipv4", kLinkIpv4, {}},
      {"NullLittleEndian", kLinkNull, FamilyLittleEndian(2)},
      {"NullBigEndian", kLinkNull, FamilyBigEndian(2)},
      {"Loop", kLinkLoop, FamilyBigEndian(2)},
      {"Ethernet6", kLinkEthernet, EthernetHeader({0x86DD}), 6},
      {"Ethernet8021Q6", kLinkEthernet, EthernetHeader({0x8100, 0x86DD}), 6},
      {"EthernetStackedTags6", kLinkEthernet, EthernetHeader({0x88A8, 0x8100, 0x86DD}), 6},
      {"LinuxSll6", kLinkLinuxSll, SllHeader(0x86DD), 6},
      {"LinuxSllTagged6", kLinkLinuxSll, Concat(SllHeader(0x8100), {0x00, 0x07, 0x86, 0xDD}), 6},
      {"LinuxSll26", kLinkLinuxSll2, Sll2Header(0x86DD), 6},
      {"Raw6", kLinkRaw, {}, 6, true},
      {"Ipv6", kLinkIpv6, {}, 6},
      // AF_INET6 is 10 on Linux, 24, 28 or 30 on the BSDs.
      {"NullLinux6", kLinkNull, FamilyLittleEndian(10), 6},
      {"NullNetBsd6", kLinkNull, FamilyBigEndian(24), 6},
      {"NullFreeBsd6", kLinkNull, FamilyLittleEndian(28), 6},
      {"NullMacOs6", kLinkNull, FamilyBigEndian(30), 6},
      {"Loop6", kLinkLoop, FamilyBigEndian(24), 6},
  };
}

}  // namespace corvane::testing_frames
