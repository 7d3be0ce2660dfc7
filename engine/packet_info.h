// The summary of one captured IPv4 datagram, read in place from its bytes.
//
// Pure functions; any thread. ParsePacketInfo never reads outside the bytes
// it is given, whatever the header's length fields claim.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace corvane {

inline constexpr uint16_t kProtocolIcmp = 1;
inline constexpr uint16_t kProtocolTcp = 6;
inline constexpr uint16_t kProtocolUdp = 17;

// Smallest datagram the capture loop accounts.
inline constexpr size_t kMinimumDatagram = 20;

// The request text of a TCP datagram starts here, whatever the header
// lengths are: the payload of a segment with 20-byte IP and TCP headers.
inline constexpr size_t kRequestTextOffset = 40;

struct PacketInfo {
  uint32_t sourceAddress = 0;       // network byte order, as it stands
  uint32_t destinationAddress = 0;  // network byte order
  // The bytes the datagram counts for: the IP total length field (host
  // order), or, when that field is 0, the datagram's length on the wire
  // (the bytes received when that is not known). Segmentation offload and
  // BIG TCP hand the capture one datagram of more than 64 KiB whose field,
  // too small to hold its length, is 0; the capture keeps only its first
  // 64 KiB.
  uint32_t length = 0;
  uint16_t destinationPort = 0;     // TCP/UDP only, else 0
  uint16_t sourcePort = 0;          // TCP/UDP only, else 0
  uint16_t protocol = 0;            // IP protocol number, 0..255
  // TCP only: the received bytes from offset 40 on (empty when 40 bytes or
  // fewer were received); nullopt for every other protocol. A view into the
  // capture buffer, valid until the next read.
  std::optional<std::string_view> requestText;
};

// Summarises `datagram` (a whole IPv4 datagram, IP header first). Returns
// nullopt when fewer than 20 bytes were received. TCP and UDP ports are read
// at 4 x IHL; when the received bytes end before 4 x IHL + 4 they are 0.
// `wireLength` is the datagram's length before the capture cut it, 0 when
// not known.
std::optional<PacketInfo> ParsePacketInfo(std::span<const uint8_t> datagram,
                                          size_t wireLength = 0);

}  // namespace corvane
