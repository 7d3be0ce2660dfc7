// IPv4 and IPv6 addresses as one value, their texts and their prefixes.
//
// Plain values and pure functions; any thread. Parsing never reads past the
// text it is given and rejects what inet_pton rejects.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

enum class IpFamily : uint8_t { kNone = 0, kV4 = 4, kV6 = 6 };

// An address of either family. An IPv4 address keeps its four octets, in
// network order, in bytes[0..3] and zeros after them, so that a value compares
// and hashes by its bytes alone.
struct IpAddress {
  IpFamily family = IpFamily::kNone;
  std::array<uint8_t, 16> bytes{};

  static IpAddress V4(uint32_t networkOrder);
  static IpAddress V6(std::span<const uint8_t, 16> octets);

  bool IsV4() const { return family == IpFamily::kV4; }
  bool IsV6() const { return family == IpFamily::kV6; }
  // The IPv4 address in network byte order; 0 for IPv6 or no address.
  uint32_t V4Value() const;

  auto operator<=>(const IpAddress&) const = default;
};

struct IpAddressHash {
  size_t operator()(const IpAddress& address) const noexcept;
};

// "10.0.0.1" or the RFC 5952 text of an IPv6 address ("2001:db8::1",
// lowercase, longest zero run compressed, "::ffff:1.2.3.4" for mapped ones).
// Empty for no address.
std::string FormatIp(const IpAddress& address);

// Dotted-decimal IPv4 (four parts) or any IPv6 text inet_pton takes; a zone
// ("%eth0") is not an address. nullopt for everything else.
std::optional<IpAddress> ParseIp(std::string_view text);

// An address and the number of leading bits that name its network.
struct IpPrefix {
  IpAddress address;
  uint8_t length = 0;  // 0..32 for IPv4, 0..128 for IPv6

  // True when `other` is of the same family and its first `length` bits
  // equal those of `address`.
  bool Contains(const IpAddress& other) const;
  auto operator<=>(const IpPrefix&) const = default;
};

// "ADDR/LEN"; a bare address is a prefix of its full length. nullopt when
// the address does not parse or LEN is out of range for its family.
std::optional<IpPrefix> ParsePrefix(std::string_view text);

// 224.0.0.0/4 or ff00::/8.
bool IsMulticast(const IpAddress& address);
// 127.0.0.0/8 or ::1.
bool IsLoopback(const IpAddress& address);

// The addresses of the watched interface and the networks they sit in: what
// decides a datagram's direction and which peers are on the local area.
struct LocalNetworks {
  std::vector<IpAddress> addresses;
  std::vector<IpPrefix> prefixes;

  // One of the interface's own addresses.
  bool IsOwnAddress(const IpAddress& address) const;
  // In one of the interface's networks, or an IPv6 link-local (fe80::/10)
  // or unique local (fc00::/7) address.
  bool IsLocalArea(const IpAddress& address) const;
};

}  // namespace corvane
