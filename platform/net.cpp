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

std::optional<std::string> ReverseLookup(uint32_t address) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = address;
  char host[NI_MAXHOST] = {};
  int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&in), sizeof in, host,
                         sizeof host, nullptr, 0, NI_NAMEREQD);
  if (rc != 0 || host[0] == '\0') return std::nullopt;
  return std::string(host);
}

}  // namespace corvane
