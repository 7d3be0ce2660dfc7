// The summary of one captured IPv4 or IPv6 datagram, read in place from its
// bytes.
//
// Pure functions; any thread. ParsePacketInfo never reads outside the bytes
// it is given, whatever the header's length fields claim.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/capture_source.h"
#include "platform/ip_address.h"

namespace corvane {

inline constexpr uint16_t kProtocolIcmp = 1;
inline constexpr uint16_t kProtocolTcp = 6;
inline constexpr uint16_t kProtocolUdp = 17;
inline constexpr uint16_t kProtocolIcmpV6 = 58;

// Smallest datagram the capture loop accounts (an IPv4 header; an IPv6
// datagram needs its 40-byte fixed header).
inline constexpr size_t kMinimumDatagram = 20;
inline constexpr size_t kIpv6HeaderLength = 40;

// The request text of an IPv4 TCP datagram starts here, whatever the header
// lengths are: the payload of a segment with 20-byte IP and TCP headers.
inline constexpr size_t kRequestTextOffset = 40;

struct PacketInfo {
  IpAddress sourceAddress;
  IpAddress destinationAddress;
  // The bytes the datagram counts for: the IPv4 total length field, or
  // 40 + the IPv6 payload length field (extension headers are payload).
  // When that field is 0, the datagram's length on the wire (the bytes
  // received when that is not known). Segmentation offload and BIG TCP hand
  // the capture one datagram of more than 64 KiB whose field, too small to
  // hold its length, is 0 (an IPv6 jumbogram's is 0 too); the capture keeps
  // only its first 64 KiB.
  uint32_t length = 0;
  uint16_t destinationPort = 0;     // TCP/UDP only, else 0
  uint16_t sourcePort = 0;          // TCP/UDP only, else 0
  // IP protocol number, 0..255; for IPv6 the upper-layer protocol behind
  // the extension headers.
  uint16_t protocol = 0;
  // TCP only: the bytes a request to a proxy starts at, to the end of what
  // was received (empty when nothing is left); nullopt for every other
  // protocol. IPv4: from offset 40 on. IPv6: after the TCP header that the
  // extension headers lead to. A view into the capture buffer, valid until
  // the next read.
  std::optional<std::string_view> requestText;
  // The datagram as the capture read it (bytes and time stamp), set by the
  // capture loop for the datagram observer; null for other sources. Valid
  // only while the datagram is accounted.
  const CapturedDatagram* captured = nullptr;
};

// Summarises `datagram` (a whole IPv4 or IPv6 datagram, IP header first; the
// version nibble tells them apart). Returns nullopt when fewer bytes than the
// fixed header were received, or the version is neither 4 nor 6.
//
// IPv4: TCP and UDP ports are read at 4 x IHL. IPv6: hop-by-hop, routing,
// fragment and destination options headers are skipped to reach the
// upper-layer header; a fragment other than the first has no ports. Ports
// that lie beyond the received bytes are 0.
// `wireLength` is the datagram's length before the capture cut it, 0 when
// not known.
std::optional<PacketInfo> ParsePacketInfo(std::span<const uint8_t> datagram,
                                          size_t wireLength = 0);

}  // namespace corvane
