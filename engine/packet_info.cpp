#include "engine/packet_info.h"

#include <algorithm>

#include <cstring>

namespace corvane {

namespace {

uint16_t ReadBigEndian16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t ReadAsStored32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

}  // namespace

std::optional<PacketInfo> ParsePacketInfo(std::span<const uint8_t> datagram, size_t wireLength) {
  if (datagram.size() < kMinimumDatagram) return std::nullopt;
  const uint8_t* bytes = datagram.data();
  PacketInfo info;
  info.sourceAddress = ReadAsStored32(bytes + 12);
  info.destinationAddress = ReadAsStored32(bytes + 16);
  info.length = ReadBigEndian16(bytes + 2);
  if (info.length == 0) {
    info.length = static_cast<uint32_t>(std::min<size_t>(std::max(datagram.size(), wireLength),
                                                         UINT32_MAX));
  }
  info.protocol = bytes[9];
  if (info.protocol == kProtocolTcp || info.protocol == kProtocolUdp) {
    size_t transport = 4u * (bytes[0] & 0x0f);
    if (transport + 4 <= datagram.size()) {
      info.sourcePort = ReadBigEndian16(bytes + transport);
      info.destinationPort = ReadBigEndian16(bytes + transport + 2);
    }
  }
  if (info.protocol == kProtocolTcp) {
    if (datagram.size() > kRequestTextOffset) {
      info.requestText = std::string_view(reinterpret_cast<const char*>(bytes) + kRequestTextOffset,
                                          datagram.size() - kRequestTextOffset);
    } else {
      info.requestText = std::string_view();
    }
  }
  return info;
}

}  // namespace corvane
