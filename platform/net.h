// Address texts and the system's name services.
//
// All functions are safe to call from any thread. Lookups may block for as
// long as the system resolver takes; callers that must stay responsive run
// them off their own thread. IPv4-only functions take 32-bit values in
// network byte order, as they stand in the datagram.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ip_address.h"

namespace corvane {

// Dotted-decimal text of an address ("10.0.0.1").
std::string FormatAddress(uint32_t address);

// The address as glibc's inet_addr reads it: dotted decimal and its
// shorthand forms ("10.1", "0x7f.1", octal parts). nullopt when the text is
// not such an address; note that "255.255.255.255" is a valid address here.
std::optional<uint32_t> ParseInetAddr(std::string_view text);

// First IPv4 address that a forward lookup of `host` gives
// (getaddrinfo, AF_INET), or nullopt.
std::optional<uint32_t> LookupHostAddress(const std::string& host);

// First address of either family that a forward lookup of `host` gives
// (getaddrinfo, AF_UNSPEC, in the resolver's order), or nullopt.
std::optional<IpAddress> LookupHostIp(const std::string& host);

// The host's primary name for `address` of either family (getnameinfo with
// NI_NAMEREQD), or nullopt when the resolver has none or fails.
std::optional<std::string> ReverseLookup(const IpAddress& address);

// Builds an address from its four octets, first octet first.
constexpr uint32_t MakeAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  // Network byte order: the first octet is the first byte in memory.
  if constexpr (std::endian::native == std::endian::little) {
    return uint32_t{a} | uint32_t{b} << 8 | uint32_t{c} << 16 | uint32_t{d} << 24;
  } else {
    return uint32_t{a} << 24 | uint32_t{b} << 16 | uint32_t{c} << 8 | uint32_t{d};
  }
}

// The first octet of a network-order address.
constexpr uint8_t FirstOctet(uint32_t address) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<uint8_t>(address & 0xff);
  } else {
    return static_cast<uint8_t>(address >> 24);
  }
}

}  // namespace corvane
