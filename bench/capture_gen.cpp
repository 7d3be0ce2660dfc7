// Writes a synthetic Ethernet pcap file for the comparison benchmark:
// traffic between one monitored interface address and N remote addresses,
// TCP, UDP and ICMP mixed, both directions, plus a little multicast and a
// little traffic between two other hosts (which the monitor must ignore).
// With --ipv6 PERCENT that share of the datagrams is IPv6: between
// 2001:db8:1::2 and remote i (2001:db8:100::/40 + i), ICMPv6 for ICMP, one
// in ten behind a hop-by-hop options header, multicast to ff02::fb.
//
//   capture_gen OUT.pcap --datagrams N --remotes R [--interface A.B.C.D]
//               [--rate DATAGRAMS_PER_SECOND] [--seed S] [--ipv6 PERCENT]
//
// Every remote address appears at least once; after that, remotes are drawn
// with a skew (a few busy ones, a long tail), as real traffic has. Frames
// carry whole datagrams (IP total length = bytes written), so any reader
// can count the same bytes. Remote i is 20.0.0.0 + (i * 37 mod 2^24).
#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/capture_source.h"
#include "support/pcap_writer.h"

namespace {

uint32_t RemoteAddress(uint32_t index) {
  return htonl(0x14000000u + ((index * 37u) & 0x00ffffffu));
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// Builds an Ethernet frame carrying one IPv4 datagram of `length` bytes.
size_t BuildFrame4(std::vector<uint8_t>& frame, uint32_t source, uint32_t destination,
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

using Address6 = std::array<uint8_t, 16>;

Address6 RemoteAddress6(uint32_t index) {
  Address6 address = {0x20, 0x01, 0x0d, 0xb8, 0x01};
  const uint32_t spread = index * 37u;
  address[5] = static_cast<uint8_t>(spread >> 16);
  address[6] = static_cast<uint8_t>(spread >> 8);
  address[7] = static_cast<uint8_t>(spread);
  address[15] = 1;
  return address;
}

// Builds an Ethernet frame carrying one IPv6 datagram of `length` bytes
// (40 + payload length), the upper layer optionally behind an 8-byte
// hop-by-hop options header.
size_t BuildFrame6(std::vector<uint8_t>& frame, const Address6& source,
                   const Address6& destination, uint8_t protocol, uint16_t sourcePort,
                   uint16_t destinationPort, uint16_t length, bool hopByHop) {
  const size_t total = 14 + length;
  frame.assign(total, 0);
  uint8_t* eth = frame.data();
  std::memcpy(eth, "\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02", 12);
  eth[12] = 0x86;
  eth[13] = 0xDD;
  uint8_t* ip = eth + 14;
  ip[0] = 0x60;
  Put16(ip + 4, static_cast<uint16_t>(length - 40));
  ip[6] = hopByHop ? 0 : protocol;
  ip[7] = 64;
  std::memcpy(ip + 8, source.data(), 16);
  std::memcpy(ip + 24, destination.data(), 16);
  uint8_t* transport = ip + 40;
  if (hopByHop) {
    transport[0] = protocol;
    transport[2] = 1;  // PadN filling the rest of the 8 bytes
    transport[3] = 4;
    transport += 8;
  }
  if (protocol == 6 || protocol == 17) {
    Put16(transport, sourcePort);
    Put16(transport + 2, destinationPort);
    if (protocol == 6) {
      transport[12] = 0x50;
      transport[13] = 0x10;
    } else {
      Put16(transport + 4, static_cast<uint16_t>(ip + length - transport));
    }
  } else if (protocol == 58) {
    transport[0] = 128;  // echo request
  }
  return total;
}

int Usage() {
  std::fputs("usage: capture_gen OUT.pcap --datagrams N --remotes R [--interface A.B.C.D]\n"
             "                  [--rate DATAGRAMS_PER_SECOND] [--seed S] [--ipv6 PERCENT]\n",
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
  uint32_t ipv6Percent = 0;
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
    } else if (name == "--ipv6") {
      ipv6Percent = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
      if (ipv6Percent > 100) return Usage();
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
  if (corvane::Status opened = writer.Open(path, corvane::kLinkEthernet); !opened) {
    std::fprintf(stderr, "capture_gen: %s\n", opened.reason.c_str());
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
  const Address6 self6 = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  const Address6 multicast6 = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xfb};
  const Address6 other6A = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
  const Address6 other6B = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8};

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
    // Drawn after every other choice, so that --ipv6 0 writes the same file
    // as before the option existed.
    const bool v6 = ipv6Percent != 0 && random() % 100 < ipv6Percent;
    if (!v6) {
      BuildFrame4(frame, source, destination, protocol, sourcePort, destinationPort, length);
    } else {
      const bool hopByHop = random() % 10 == 0;
      if (protocol == 1) protocol = 58;
      // The same payload as the IPv4 datagram would carry, behind the
      // larger header.
      length = static_cast<uint16_t>(length + 20 + (hopByHop ? 8 : 0));
      const Address6 remote6 = RemoteAddress6(index);
      Address6 source6 = upload ? self6 : remote6;
      Address6 destination6 = upload ? remote6 : self6;
      if (extra == 0) {
        source6 = remote6;
        destination6 = multicast6;
      } else if (extra == 1) {
        source6 = other6A;
        destination6 = other6B;
      }
      BuildFrame6(frame, source6, destination6, protocol, sourcePort, destinationPort, length,
                  hopByHop);
    }
    const uint64_t micros = n * microsPerDatagram;
    if (corvane::Status written = writer.Write(start + static_cast<int64_t>(micros / 1000000),
                                               static_cast<int32_t>(micros % 1000000), frame);
        !written) {
      std::fprintf(stderr, "capture_gen: %s\n", written.reason.c_str());
      return 1;
    }
  }
  if (corvane::Status closed = writer.Close(); !closed) {
    std::fprintf(stderr, "capture_gen: %s\n", closed.reason.c_str());
    return 1;
  }
  return 0;
}
