#include "platform/ip_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace corvane {

IpAddress IpAddress::V4(uint32_t networkOrder) {
  IpAddress address;
  address.family = IpFamily::kV4;
  std::memcpy(address.bytes.data(), &networkOrder, 4);
  return address;
}

IpAddress IpAddress::V6(std::span<const uint8_t, 16> octets) {
  IpAddress address;
  address.family = IpFamily::kV6;
  std::copy(octets.begin(), octets.end(), address.bytes.begin());
  return address;
}

uint32_t IpAddress::V4Value() const {
  if (!IsV4()) return 0;
  uint32_t value;
  std::memcpy(&value, bytes.data(), 4);
  return value;
}

size_t IpAddressHash::operator()(const IpAddress& address) const noexcept {
  uint64_t high, low;
  std::memcpy(&high, address.bytes.data(), 8);
  std::memcpy(&low, address.bytes.data() + 8, 8);
  uint64_t mixed = (high ^ (low * 0x9e3779b97f4a7c15ULL)) + static_cast<uint64_t>(address.family);
  mixed ^= mixed >> 31;
  mixed *= 0xbf58476d1ce4e5b9ULL;
  mixed ^= mixed >> 29;
  return static_cast<size_t>(mixed);
}

std::string FormatIp(const IpAddress& address) {
  char text[INET6_ADDRSTRLEN];
  // glibc's inet_ntop writes the RFC 5952 form: lowercase, the longest run
  // of two or more zero groups compressed, a mapped IPv4 tail dotted.
  if (address.IsV4()) {
    if (::inet_ntop(AF_INET, address.bytes.data(), text, sizeof text) == nullptr) return {};
    return text;
  }
  if (address.IsV6()) {
    if (::inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text) == nullptr) return {};
    return text;
  }
  return {};
}

std::optional<IpAddress> ParseIp(std::string_view text) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return std::nullopt;
  char copy[INET6_ADDRSTRLEN];
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  if (std::strlen(copy) != text.size()) return std::nullopt;
  uint8_t octets[16];
  if (::inet_pton(AF_INET, copy, octets) == 1) {
    uint32_t value;
    std::memcpy(&value, octets, 4);
    return IpAddress::V4(value);
  }
  if (::inet_pton(AF_INET6, copy, octets) == 1) {
    return IpAddress::V6(std::span<const uint8_t, 16>(octets, 16));
  }
  return std::nullopt;
}

bool IpPrefix::Contains(const IpAddress& other) const {
  if (other.family != address.family || address.family == IpFamily::kNone) return false;
  const int bits = std::min<int>(length, address.IsV4() ? 32 : 128);
  const int whole = bits / 8;
  if (std::memcmp(address.bytes.data(), other.bytes.data(), static_cast<size_t>(whole)) != 0) {
    return false;
  }
  const int rest = bits % 8;
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
  return (address.bytes[static_cast<size_t>(whole)] & mask) ==
         (other.bytes[static_cast<size_t>(whole)] & mask);
}

std::optional<IpPrefix> ParsePrefix(std::string_view text) {
  const size_t slash = text.find('/');
  const auto address = ParseIp(text.substr(0, slash));
  if (!address) return std::nullopt;
  const int maximum = address->IsV4() ? 32 : 128;
  if (slash == std::string_view::npos) return IpPrefix{*address, static_cast<uint8_t>(maximum)};
  const std::string_view digits = text.substr(slash + 1);
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  int length = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    length = length * 10 + (c - '0');
  }
  if (length > maximum) return std::nullopt;
  return IpPrefix{*address, static_cast<uint8_t>(length)};
}

bool IsMulticast(const IpAddress& address) {
  if (address.IsV4()) return (address.bytes[0] & 0xf0) == 0xe0;
  return address.IsV6() && address.bytes[0] == 0xff;
}

bool IsLoopback(const IpAddress& address) {
  if (address.IsV4()) return address.bytes[0] == 127;
  if (!address.IsV6()) return false;
  static constexpr std::array<uint8_t, 16> kLoopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                    0, 0, 0, 0, 0, 0, 0, 1};
  return address.bytes == kLoopback;
}

bool LocalNetworks::IsOwnAddress(const IpAddress& address) const {
  // Asked twice for every captured datagram: two word compares per address
  // instead of a byte-wise comparison.
  uint64_t high, low;
  std::memcpy(&high, address.bytes.data(), 8);
  std::memcpy(&low, address.bytes.data() + 8, 8);
  for (const IpAddress& own : addresses) {
    uint64_t ownHigh, ownLow;
    std::memcpy(&ownHigh, own.bytes.data(), 8);
    std::memcpy(&ownLow, own.bytes.data() + 8, 8);
    if (ownHigh == high && ownLow == low && own.family == address.family) return true;
  }
  return false;
}

bool LocalNetworks::IsLocalArea(const IpAddress& address) const {
  if (address.IsV6()) {
    if (address.bytes[0] == 0xfe && (address.bytes[1] & 0xc0) == 0x80) return true;  // fe80::/10
    if ((address.bytes[0] & 0xfe) == 0xfc) return true;                                // fc00::/7
  }
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [&](const IpPrefix& prefix) { return prefix.Contains(address); });
}

}  // namespace corvane
