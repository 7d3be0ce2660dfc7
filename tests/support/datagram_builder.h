// Builds IPv4 datagrams for tests and benchmarks: correct total length,
// header lengths and ports, payload of a chosen size. Checksums are left 0:
// the monitor never reads them.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

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

// An Ethernet frame around `datagram` (for capture files).
inline Bytes EthernetFrame(const Bytes& datagram) {
  Bytes frame = {0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1, 0x08, 0x00};
  frame.insert(frame.end(), datagram.begin(), datagram.end());
  return frame;
}

}  // namespace corvane::testing
