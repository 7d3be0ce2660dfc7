#include "engine/packet_info.h"

#include <algorithm>

#include <cstring>

namespace corvane {

namespace {

constexpr uint8_t kNextHopByHop = 0;
constexpr uint8_t kNextRouting = 43;
constexpr uint8_t kNextFragment = 44;
constexpr uint8_t kNextDestinationOptions = 60;
constexpr size_t kFragmentHeaderLength = 8;

uint16_t ReadBigEndian16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t ReadAsStored32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

uint32_t LengthOrReceived(uint32_t fieldLength, size_t received, size_t wireLength) {
  if (fieldLength != 0) return fieldLength;
  return static_cast<uint32_t>(std::min<size_t>(std::max(received, wireLength), UINT32_MAX));
}

std::string_view TextFrom(std::span<const uint8_t> datagram, size_t offset) {
  if (offset >= datagram.size()) return {};
  return std::string_view(reinterpret_cast<const char*>(datagram.data()) + offset,
                          datagram.size() - offset);
}

void ReadPorts(std::span<const uint8_t> datagram, size_t transport, PacketInfo& info) {
  if (transport + 4 <= datagram.size()) {
    info.sourcePort = ReadBigEndian16(datagram.data() + transport);
    info.destinationPort = ReadBigEndian16(datagram.data() + transport + 2);
  }
}

std::optional<PacketInfo> ParseIpv6(std::span<const uint8_t> datagram, size_t wireLength) {
  if (datagram.size() < kIpv6HeaderLength) return std::nullopt;
  const uint8_t* bytes = datagram.data();
  PacketInfo info;
  info.sourceAddress = IpAddress::V6(datagram.subspan<8, 16>());
  info.destinationAddress = IpAddress::V6(datagram.subspan<24, 16>());
  const uint16_t payloadLength = ReadBigEndian16(bytes + 4);
  info.length = payloadLength == 0
                    ? LengthOrReceived(0, datagram.size(), wireLength)
                    : static_cast<uint32_t>(kIpv6HeaderLength + payloadLength);

  // Every extension header is at least 8 bytes long, so the walk moves
  // forward each time and ends at the received bytes' end at the latest.
  uint8_t next = bytes[6];
  size_t offset = kIpv6HeaderLength;
  bool laterFragment = false;
  while (next == kNextHopByHop || next == kNextRouting || next == kNextFragment ||
         next == kNextDestinationOptions) {
    if (offset + 8 > datagram.size()) {
      // The chain runs past what was received: the upper layer is unknown.
      info.protocol = next;
      return info;
    }
    const uint8_t following = bytes[offset];
    if (next == kNextFragment) {
      laterFragment = (ReadBigEndian16(bytes + offset + 2) & 0xfff8) != 0;
      offset += kFragmentHeaderLength;
    } else {
      offset += 8u * (size_t{bytes[offset + 1]} + 1);
    }
    next = following;
  }
  info.protocol = next;
  if (laterFragment) {
    // Ports and the request text sit in the first fragment only.
    if (next == kProtocolTcp) info.requestText = std::string_view();
    return info;
  }
  if (next == kProtocolTcp || next == kProtocolUdp) ReadPorts(datagram, offset, info);
  if (next == kProtocolTcp) {
    size_t payload = datagram.size();
    if (offset + 13 <= datagram.size()) payload = offset + 4u * (bytes[offset + 12] >> 4);
    info.requestText = TextFrom(datagram, payload);
  }
  return info;
}

}  // namespace

std::optional<PacketInfo> ParsePacketInfo(std::span<const uint8_t> datagram, size_t wireLength) {
  if (datagram.size() < kMinimumDatagram) return std::nullopt;
  const uint8_t* bytes = datagram.data();
  const uint8_t version = bytes[0] >> 4;
  if (version == 6) return ParseIpv6(datagram, wireLength);
  if (version != 4) return std::nullopt;
  PacketInfo info;
  info.sourceAddress = IpAddress::V4(ReadAsStored32(bytes + 12));
  info.destinationAddress = IpAddress::V4(ReadAsStored32(bytes + 16));
  info.length = LengthOrReceived(ReadBigEndian16(bytes + 2), datagram.size(), wireLength);
  info.protocol = bytes[9];
  if (info.protocol == kProtocolTcp || info.protocol == kProtocolUdp) {
    ReadPorts(datagram, 4u * (bytes[0] & 0x0f), info);
  }
  if (info.protocol == kProtocolTcp) info.requestText = TextFrom(datagram, kRequestTextOffset);
  return info;
}

}  // namespace corvane
