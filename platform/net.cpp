#include "platform/net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace corvane {

std::string FormatAddress(uint32_t address) {
  // Dotted decimal as inet_ntop writes it, without its trip through printf:
  // this runs for every row each pass touches.
  const auto* octets = reinterpret_cast<const unsigned char*>(&address);
  char text[16];
  char* out = text;
  for (int i = 0; i < 4; ++i) {
    unsigned value = octets[i];
    if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    if (i < 3) *out++ = '.';
  }
  return std::string(text, static_cast<size_t>(out - text));
}

std::optional<uint32_t> ParseInetAddr(std::string_view text) {
  std::string copy(text);
  if (copy.find('\0') != std::string::npos) return std::nullopt;
  in_addr in{};
  // inet_aton accepts exactly what inet_addr accepts, but tells
  // 255.255.255.255 apart from a failure.
  if (::inet_aton(copy.c_str(), &in) == 0) return std::nullopt;
  return in.s_addr;
}

std::optional<uint32_t> LookupHostAddress(const std::string& host) {
  if (host.empty() || host.find('\0') != std::string::npos) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
    return std::nullopt;
  }
  std::optional<uint32_t> address;
  for (addrinfo* it = result; it != nullptr; it = it->ai_next) {
    if (it->ai_family == AF_INET && it->ai_addr != nullptr) {
      address = reinterpret_cast<const sockaddr_in*>(it->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  ::freeaddrinfo(result);
  return address;
}

std::optional<IpAddress> LookupHostIp(const std::string& host) {
  if (host.empty() || host.find('\0') != std::string::npos) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
    return std::nullopt;
  }
  std::optional<IpAddress> address;
  for (addrinfo* it = result; it != nullptr && !address; it = it->ai_next) {
    if (it->ai_addr == nullptr) continue;
    if (it->ai_family == AF_INET) {
      address = IpAddress::V4(reinterpret_cast<const sockaddr_in*>(it->ai_addr)->sin_addr.s_addr);
    } else if (it->ai_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(it->ai_addr);
      address = IpAddress::V6(std::span<const uint8_t, 16>(in6->sin6_addr.s6_addr, 16));
    }
  }
  ::freeaddrinfo(result);
  return address;
}

std::optional<std::string> ReverseLookup(const IpAddress& address) {
  sockaddr_storage storage{};
  socklen_t size = 0;
  if (address.IsV4()) {
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = address.V4Value();
    size = sizeof *in;
  } else if (address.IsV6()) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    std::memcpy(in6->sin6_addr.s6_addr, address.bytes.data(), 16);
    size = sizeof *in6;
  } else {
    return std::nullopt;
  }
  char host[NI_MAXHOST] = {};
  int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&storage), size, host,
                         sizeof host, nullptr, 0, NI_NAMEREQD);
  if (rc != 0 || host[0] == '\0') return std::nullopt;
  return std::string(host);
}

}  // namespace corvane
