#include "platform/adapters.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/net.h"

namespace corvane {

bool ListInterfaces(std::vector<InterfaceEntry>& entries, std::string& error) {
  entries.clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    error = std::string("cannot list the network interfaces: ") + std::strerror(errno);
    return false;
  }
  // getifaddrs reports each interface once per address family; an
  // interface's place is where its name first appears.
  std::vector<bool> hasAddress;
  for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    if (it->ifa_name == nullptr) continue;
    size_t index = 0;
    while (index < entries.size() && entries[index].description != it->ifa_name) ++index;
    if (index == entries.size()) {
      entries.push_back(InterfaceEntry{it->ifa_name, "0.0.0.0", "255.255.255.255"});
      hasAddress.push_back(false);
    }
    if (hasAddress[index] || it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    hasAddress[index] = true;
    entries[index].addressText =
        FormatAddress(reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
    if (it->ifa_netmask != nullptr && it->ifa_netmask->sa_family == AF_INET) {
      entries[index].maskText =
          FormatAddress(reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr);
    }
  }
  ::freeifaddrs(list);
  return true;
}

}  // namespace corvane
