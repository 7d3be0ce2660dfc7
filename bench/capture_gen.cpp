// Writes a synthetic Ethernet pcap file for the comparison benchmark:
// traffic between one monitored interface address and N remote addresses,
// TCP, UDP and ICMP mixed, both directions, plus a little multicast and a
// little traffic between two other hosts (which the monitor must ignore).
//
//   capture_gen OUT.pcap --datagrams N --remotes R [--interface A.B.C.D]
//               [--rate DATAGRAMS_PER_SECOND] [--seed S]
//
// Every remote address appears at least once; after that, remotes are drawn
// with a skew (a few busy ones, a long tail), as real traffic has. Frames
// carry whole datagrams (IP total length = bytes written), so any reader
// can count the same bytes. Remote i is 20.0.0.0 + (i * 37 mod 2^24).
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/capture_source.h"
#include "platform/pcap_writer.h"

namespace {

uint32_t RemoteAddress(uint32_t index) {
  return htonl(0x14000000u + ((index * 37u) & 0x00ffffffu));
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// Builds an Ethernet frame carrying one IPv4 datagram of `length` bytes.
size_t BuildFrame(std::vector<uint8_t>& frame, uint32_t source, uint32_t destination,
                  uint8_t protocol, uint16_t sourcePort, uint16_t destinationPort,
                  uint16_t length) {
  const size_t total = 14 + length;
  frame.assign(total, 0);
  uint8_t* eth = frame.data();
  std::memcpy(eth, "\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02", 12);
  eth[12] = 0x08;
  eth[13] = 0x00;
  uint8_t* ip = eth + 14;
  ip[0] = 0x45;
  Put16(ip + 2, length);
  ip[8] = 64;
  ip[9] = protocol;
  std::memcpy(ip + 12, &source, 4);
  std::memcpy(ip + 16, &destination, 4);
  uint8_t* transport = ip + 20;
  if (protocol == 6 || protocol == 17) {
    Put16(transport, sourcePort);
    Put16(transport + 2, destinationPort);
    if (protocol == 6) {
      transport[12] = 0x50;  // data offset 5
      transport[13] = 0x10;  // ACK
    } else {
      Put16(transport + 4, static_cast<uint16_t>(length - 20));
    }
  } else if (protocol == 1) {
    transport[0] = 8;  // echo request
  }
  return total;
}

int Usage() {
  std::fputs("usage: capture_gen OUT.pcap --datagrams N --remotes R [--interface A.B.C.D]\n"
             "                  [--rate DATAGRAMS_PER_SECOND] [--seed S]\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string path = argv[1];
  uint64_t datagrams = 100000;
  uint32_t remotes = 1000;
  uint64_t rate = 50000;
  uint32_t seed = 1;
  in_addr interfaceAddress{};
  inet_pton(AF_INET, "10.1.0.2", &interfaceAddress);
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--datagrams") {
      datagrams = std::strtoull(value, nullptr, 10);
    } else if (name == "--remotes") {
      remotes = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    } else if (name == "--rate") {
      rate = std::strtoull(value, nullptr, 10);
    } else if (name == "--seed") {
      seed = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    } else if (name == "--interface") {
      if (inet_pton(AF_INET, value, &interfaceAddress) != 1) return Usage();
    } else {
      return Usage();
    }
  }
  if (remotes == 0 || remotes > (1u << 24) || rate == 0 || datagrams < remotes) return Usage();

  corvane::PcapWriter writer;
  std::string error;
  if (!writer.Open(path, corvane::kLinkEthernet, error)) {
    std::fprintf(stderr, "capture_gen: %s\n", error.c_str());
    return 1;
  }
  std::mt19937_64 random(seed);
  // Skewed choice: a squared uniform draw favours the low indices.
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const uint32_t self = interfaceAddress.s_addr;
  uint32_t multicast = 0;
  inet_pton(AF_INET, "239.255.255.250", &multicast);
  uint32_t otherA = 0, otherB = 0;
  inet_pton(AF_INET, "10.1.0.7", &otherA);
  inet_pton(AF_INET, "10.1.0.8", &otherB);

  std::vector<uint8_t> frame;
  const int64_t start = 1700000000;
  const uint64_t microsPerDatagram = rate >= 1000000 ? 1 : 1000000 / rate;
  for (uint64_t n = 0; n < datagrams; ++n) {
    uint32_t index;
    if (n < remotes) {
      index = static_cast<uint32_t>(n);
    } else {
      double u = unit(random);
      index = static_cast<uint32_t>(u * u * remotes);
      if (index >= remotes) index = remotes - 1;
    }
    const uint32_t remote = RemoteAddress(index);
    const uint64_t kind = random() % 100;
    const bool upload = random() % 2 == 0;
    uint8_t protocol;
    uint16_t length;
    if (kind < 60) {
      protocol = 6;
      length = random() % 3 == 0 ? 40 : static_cast<uint16_t>(40 + random() % 1460);
    } else if (kind < 90) {
      protocol = 17;
      length = static_cast<uint16_t>(28 + random() % 1200);
    } else {
      protocol = 1;
      length = 84;
    }
    const uint16_t localPort = static_cast<uint16_t>(32768 + index % 20000);
    const uint16_t remotePort = protocol == 6 ? 443 : 53;
    uint32_t source = upload ? self : remote;
    uint32_t destination = upload ? remote : self;
    uint16_t sourcePort = upload ? localPort : remotePort;
    uint16_t destinationPort = upload ? remotePort : localPort;
    const uint64_t extra = random() % 100;
    if (extra == 0) {
      destination = multicast;  // a download of the remote's flow
      source = remote;
    } else if (extra == 1) {
      source = otherA;  // neither end is the interface: ignored
      destination = otherB;
    }
    BuildFrame(frame, source, destination, protocol, sourcePort, destinationPort, length);
    const uint64_t micros = n * microsPerDatagram;
    if (!writer.Write(start + static_cast<int64_t>(micros / 1000000),
                      static_cast<int32_t>(micros % 1000000), frame)) {
      std::fprintf(stderr, "capture_gen: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  if (!writer.Close()) {
    std::fprintf(stderr, "capture_gen: cannot write %s\n", path.c_str());
    return 1;
  }
  return 0;
}
