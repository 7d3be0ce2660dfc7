// Builds IPv4 and IPv6 datagrams for tests and benchmarks: correct total or
// payload length, header lengths and ports, payload of a chosen size.
// Checksums are left 0: the monitor never reads them.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/ip_address.h"
#include "platform/net.h"

namespace corvane::testing {

using Bytes = std::vector<uint8_t>;

struct DatagramFields {
  DatagramFields(uint32_t source_, uint32_t destination_, uint8_t protocol_ = 17,
               uint16_t sourcePort_ = 0, uint16_t destinationPort_ = 0, size_t payload_ = 0)
      : source(source_), destination(destination_), protocol(protocol_),
        sourcePort(sourcePort_), destinationPort(destinationPort_), payload(payload_) {}

  uint32_t source = 0;       // network byte order
  uint32_t destination = 0;  // network byte order
  uint8_t protocol = 17;
  uint16_t sourcePort = 0;
  uint16_t destinationPort = 0;
  size_t payload = 0;        // bytes after the transport header
  uint8_t ipOptionWords = 0; // extra 32-bit words of IP options
  std::string_view text;     // copied to the start of the payload
};

inline Bytes BuildDatagram(const DatagramFields& fields) {
  const size_t ipHeader = 20 + 4u * fields.ipOptionWords;
  size_t transport = 0;
  if (fields.protocol == 6) transport = 20;
  else if (fields.protocol == 17) transport = 8;
  else if (fields.protocol == 1) transport = 8;
  const size_t payload = std::max(fields.payload, fields.text.size());
  const size_t total = ipHeader + transport + payload;
  Bytes d(total, 0);
  d[0] = static_cast<uint8_t>(0x40 | (ipHeader / 4));
  d[2] = static_cast<uint8_t>(total >> 8);
  d[3] = static_cast<uint8_t>(total);
  d[8] = 64;
  d[9] = fields.protocol;
  std::memcpy(&d[12], &fields.source, 4);
  std::memcpy(&d[16], &fields.destination, 4);
  uint8_t* t = d.data() + ipHeader;
  if (fields.protocol == 6 || fields.protocol == 17) {
    t[0] = static_cast<uint8_t>(fields.sourcePort >> 8);
    t[1] = static_cast<uint8_t>(fields.sourcePort);
    t[2] = static_cast<uint8_t>(fields.destinationPort >> 8);
    t[3] = static_cast<uint8_t>(fields.destinationPort);
  }
  if (fields.protocol == 6) t[12] = 0x50;
  if (fields.protocol == 17) {
    t[4] = static_cast<uint8_t>((8 + payload) >> 8);
    t[5] = static_cast<uint8_t>(8 + payload);
  }
  if (fields.protocol == 1) t[0] = 8;  // echo request
  if (!fields.text.empty()) std::memcpy(t + transport, fields.text.data(), fields.text.size());
  return d;
}

// An IPv6 datagram: the fixed header, then the extension headers named in
// `extensions` (0 hop-by-hop, 43 routing, 44 fragment, 60 destination
// options; each but the fragment header 16 bytes long), then the upper
// layer. Fragment headers carry `fragmentOffset` (in 8-byte units).
struct Datagram6Fields {
  Datagram6Fields(IpAddress source_, IpAddress destination_, uint8_t protocol_ = 17,
                  uint16_t sourcePort_ = 0, uint16_t destinationPort_ = 0, size_t payload_ = 0,
                  std::vector<uint8_t> extensions_ = {}, uint16_t fragmentOffset_ = 0)
      : source(source_), destination(destination_), protocol(protocol_),
        sourcePort(sourcePort_), destinationPort(destinationPort_), payload(payload_),
        extensions(std::move(extensions_)), fragmentOffset(fragmentOffset_) {}

  IpAddress source;
  IpAddress destination;
  uint8_t protocol = 17;
  uint16_t sourcePort = 0;
  uint16_t destinationPort = 0;
  size_t payload = 0;
  std::vector<uint8_t> extensions;
  uint16_t fragmentOffset = 0;
  std::string_view text;  // copied to the start of the payload
};

inline Bytes BuildDatagram6(const Datagram6Fields& fields) {
  size_t transport = 0;
  if (fields.protocol == 6) transport = 20;
  else if (fields.protocol == 17 || fields.protocol == 58) transport = 8;
  size_t extensionBytes = 0;
  for (uint8_t type : fields.extensions) extensionBytes += type == 44 ? 8 : 16;
  const size_t payload = std::max(fields.payload, fields.text.size());
  const size_t payloadLength = extensionBytes + transport + payload;
  Bytes d(40 + payloadLength, 0);
  d[0] = 0x60;
  d[4] = static_cast<uint8_t>(payloadLength >> 8);
  d[5] = static_cast<uint8_t>(payloadLength);
  d[6] = fields.extensions.empty() ? fields.protocol : fields.extensions[0];
  d[7] = 64;
  std::memcpy(&d[8], fields.source.bytes.data(), 16);
  std::memcpy(&d[24], fields.destination.bytes.data(), 16);
  size_t at = 40;
  for (size_t i = 0; i < fields.extensions.size(); ++i) {
    const uint8_t type = fields.extensions[i];
    d[at] = i + 1 < fields.extensions.size() ? fields.extensions[i + 1] : fields.protocol;
    if (type == 44) {
      const uint16_t offset = static_cast<uint16_t>(fields.fragmentOffset << 3 | 1);
      d[at + 2] = static_cast<uint8_t>(offset >> 8);
      d[at + 3] = static_cast<uint8_t>(offset);
      at += 8;
    } else {
      d[at + 1] = 1;  // (1 + 1) x 8 bytes
      at += 16;
    }
  }
  uint8_t* t = d.data() + at;
  if (fields.fragmentOffset == 0 && (fields.protocol == 6 || fields.protocol == 17)) {
    t[0] = static_cast<uint8_t>(fields.sourcePort >> 8);
    t[1] = static_cast<uint8_t>(fields.sourcePort);
    t[2] = static_cast<uint8_t>(fields.destinationPort >> 8);
    t[3] = static_cast<uint8_t>(fields.destinationPort);
  }
  if (fields.protocol == 6) t[12] = 0x50;
  if (fields.protocol == 17) {
    t[4] = static_cast<uint8_t>((8 + payload) >> 8);
    t[5] = static_cast<uint8_t>(8 + payload);
  }
  if (fields.protocol == 58) t[0] = 128;  // echo request
  if (!fields.text.empty()) std::memcpy(t + transport, fields.text.data(), fields.text.size());
  return d;
}

inline IpAddress Ip(std::string_view text) { return *ParseIp(text); }

// An Ethernet frame around `datagram` (for capture files).
inline Bytes EthernetFrame(const Bytes& datagram) {
  const bool v6 = !datagram.empty() && datagram[0] >> 4 == 6;
  Bytes frame = {0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1};
  frame.reserve(14 + datagram.size());
  frame.push_back(v6 ? 0x86 : 0x08);
  frame.push_back(v6 ? 0xDD : 0x00);
  for (uint8_t byte : datagram) frame.push_back(byte);
  return frame;
}

}  // namespace corvane::testing
