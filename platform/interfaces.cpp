#include "platform/interfaces.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>

namespace corvane {

namespace {

uint8_t PrefixLength(const sockaddr* mask, IpFamily family) {
  if (mask == nullptr) return family == IpFamily::kV4 ? 32 : 128;
  int bits = 0;
  if (family == IpFamily::kV4 && mask->sa_family == AF_INET) {
    bits = std::popcount(reinterpret_cast<const sockaddr_in*>(mask)->sin_addr.s_addr);
  } else if (family == IpFamily::kV6 && mask->sa_family == AF_INET6) {
    for (uint8_t octet : reinterpret_cast<const sockaddr_in6*>(mask)->sin6_addr.s6_addr) {
      bits += std::popcount(octet);
    }
  } else {
    return family == IpFamily::kV4 ? 32 : 128;
  }
  return static_cast<uint8_t>(bits);
}

std::optional<IpAddress> AddressOf(const sockaddr* address) {
  if (address == nullptr) return std::nullopt;
  if (address->sa_family == AF_INET) {
    return IpAddress::V4(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
  }
  if (address->sa_family == AF_INET6) {
    return IpAddress::V6(std::span<const uint8_t, 16>(
        reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr.s6_addr, 16));
  }
  return std::nullopt;
}

// /proc files report a size of 0, so they are read until the end.
std::string ReadProcText(const char* path) {
  std::string text;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char chunk[4096];
  for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) != 0;) {
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(chunk, static_cast<size_t>(got));
  }
  ::close(fd);
  return text;
}

std::string ReadRoutingTable(const char* name) {
  // thread-self: the routes of this thread's network namespace, which may
  // differ from the process's.
  std::string text = ReadProcText((std::string("/proc/thread-self/net/") + name).c_str());
  if (text.empty()) text = ReadProcText((std::string("/proc/net/") + name).c_str());
  return text;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    const size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
    if (at > start) words.push_back(line.substr(start, at - start));
  }
  return words;
}

template <typename Each>
void ForEachLine(std::string_view text, Each each) {
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    each(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
}

std::optional<uint64_t> Hex(std::string_view word) {
  uint64_t value = 0;
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
  if (error != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return value;
}

constexpr uint64_t kRouteUp = 0x0001;      // RTF_UP
constexpr uint64_t kRouteReject = 0x0200;  // RTF_REJECT

struct RouteChoice {
  std::string name;
  uint64_t metric = std::numeric_limits<uint64_t>::max();
  void Offer(std::string_view interface, uint64_t routeMetric) {
    if (routeMetric < metric || name.empty()) {
      name.assign(interface);
      metric = routeMetric;
    }
  }
};

// /proc/net/route: "Iface Destination Gateway Flags RefCnt Use Metric Mask
// MTU Window IRTT", numbers in hexadecimal, a header line first.
std::string DefaultIpv4Route(std::string_view text) {
  RouteChoice best;
  ForEachLine(text, [&](std::string_view line) {
    const std::vector<std::string_view> words = Words(line);
    if (words.size() < 8) return;
    const auto destination = Hex(words[1]);
    const auto flags = Hex(words[3]);
    const auto metric = Hex(words[6]);
    const auto mask = Hex(words[7]);
    if (!destination || !flags || !metric || !mask) return;
    if (*destination != 0 || *mask != 0) return;
    if ((*flags & kRouteUp) == 0 || (*flags & kRouteReject) != 0) return;
    best.Offer(words[0], *metric);
  });
  return best.name;
}

// /proc/net/ipv6_route: "destination length source length next-hop metric
// refcount use flags interface", no header. The kernel lists unreachable
// defaults on lo as reject routes.
std::string DefaultIpv6Route(std::string_view text) {
  RouteChoice best;
  ForEachLine(text, [&](std::string_view line) {
    const std::vector<std::string_view> words = Words(line);
    if (words.size() < 10 || words[0].size() != 32) return;
    if (words[0].find_first_not_of('0') != std::string_view::npos) return;
    const auto length = Hex(words[1]);
    const auto metric = Hex(words[5]);
    const auto flags = Hex(words[8]);
    if (!length || !metric || !flags || *length != 0) return;
    if ((*flags & kRouteUp) == 0 || (*flags & kRouteReject) != 0) return;
    if (words[9] == "lo") return;
    best.Offer(words[9], *metric);
  });
  return best.name;
}

}  // namespace

std::vector<NetworkInterface> ListInterfaces(Status& status) {
  std::vector<NetworkInterface> interfaces;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    status = Status::SystemFailure("cannot list the network interfaces", errno);
    return interfaces;
  }
  // getifaddrs reports an interface once per address (and once for its
  // link); they are gathered by name.
  for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    if (it->ifa_name == nullptr) continue;
    auto found = std::find_if(interfaces.begin(), interfaces.end(),
                              [&](const NetworkInterface& entry) { return entry.name == it->ifa_name; });
    if (found == interfaces.end()) {
      NetworkInterface entry;
      entry.name = it->ifa_name;
      entry.index = ::if_nametoindex(it->ifa_name);
      entry.up = (it->ifa_flags & IFF_UP) != 0;
      entry.running = (it->ifa_flags & IFF_RUNNING) != 0;
      entry.loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
      interfaces.push_back(std::move(entry));
      found = interfaces.end() - 1;
    }
    if (std::optional<IpAddress> address = AddressOf(it->ifa_addr)) {
      found->addresses.push_back(IpPrefix{*address, PrefixLength(it->ifa_netmask, address->family)});
    }
  }
  ::freeifaddrs(list);
  std::stable_sort(interfaces.begin(), interfaces.end(),
                   [](const NetworkInterface& a, const NetworkInterface& b) { return a.index < b.index; });
  status = Status::Ok();
  return interfaces;
}

const NetworkInterface* FindInterfaceNamed(const std::vector<NetworkInterface>& interfaces,
                                           std::string_view name) {
  for (const NetworkInterface& entry : interfaces) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

std::string InterfaceHolding(const std::vector<NetworkInterface>& interfaces,
                             const IpAddress& address) {
  for (const NetworkInterface& entry : interfaces) {
    for (const IpPrefix& own : entry.addresses) {
      if (own.address == address) return entry.name;
    }
  }
  return {};
}

// Asks the kernel for its route to `address` (RTM_GETROUTE, as `ip route
// get` does): a route of type local means the address is this host's. Not a
// bind() test, which net.ipv4.ip_nonlocal_bind would make pass for any
// address.
bool IsLocalAddress(const IpAddress& address) {
  if (!address.IsV4() && !address.IsV6()) return false;
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return false;
  const size_t length = address.IsV4() ? 4 : 16;
  struct {
    nlmsghdr header;
    rtmsg route;
    alignas(RTA_ALIGNTO) unsigned char attributes[RTA_SPACE(16)];
  } request{};
  request.header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(sizeof(rtmsg)) + RTA_SPACE(length));
  request.header.nlmsg_type = RTM_GETROUTE;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.route.rtm_family = address.IsV4() ? AF_INET : AF_INET6;
  request.route.rtm_dst_len = static_cast<unsigned char>(length * 8);
  auto* destination = reinterpret_cast<rtattr*>(request.attributes);
  destination->rta_type = RTA_DST;
  destination->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
  std::memcpy(RTA_DATA(destination), address.bytes.data(), length);
  bool local = false;
  if (send(fd, &request, request.header.nlmsg_len, 0) == static_cast<ssize_t>(request.header.nlmsg_len)) {
    alignas(nlmsghdr) unsigned char reply[8192];
    ssize_t got;
    do {
      got = recv(fd, reply, sizeof reply, 0);
    } while (got < 0 && errno == EINTR);
    auto* header = reinterpret_cast<nlmsghdr*>(reply);
    if (got > 0 && NLMSG_OK(header, static_cast<unsigned>(got)) &&
        header->nlmsg_type == RTM_NEWROUTE &&
        header->nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg))) {
      local = static_cast<const rtmsg*>(NLMSG_DATA(header))->rtm_type == RTN_LOCAL;
    }
  }
  close(fd);
  return local;
}

LocalNetworks NetworksOf(const NetworkInterface& interface) {
  LocalNetworks networks;
  for (const IpPrefix& own : interface.addresses) {
    networks.addresses.push_back(own.address);
    // The network itself: the address with its host bits cleared.
    IpPrefix network = own;
    const size_t total = own.address.IsV4() ? 4 : 16;
    for (size_t byte = 0; byte < total; ++byte) {
      const int keep = std::clamp(static_cast<int>(own.length) - static_cast<int>(byte) * 8, 0, 8);
      network.address.bytes[byte] &= static_cast<uint8_t>(0xff00u >> keep);
    }
    if (std::find(networks.prefixes.begin(), networks.prefixes.end(), network) ==
        networks.prefixes.end()) {
      networks.prefixes.push_back(network);
    }
  }
  return networks;
}

std::string DefaultRouteInterfaceFrom(std::string_view ipv4Routes, std::string_view ipv6Routes) {
  std::string name = DefaultIpv4Route(ipv4Routes);
  if (name.empty()) name = DefaultIpv6Route(ipv6Routes);
  return name;
}

std::string DefaultRouteInterface() {
  std::string name =
      DefaultRouteInterfaceFrom(ReadRoutingTable("route"), ReadRoutingTable("ipv6_route"));
  if (!name.empty()) return name;
  Status status;
  const std::vector<NetworkInterface> interfaces = ListInterfaces(status);
  std::string loopback;
  // An unreadable list leaves only the loopback guess.
  if (status) {
    for (const NetworkInterface& entry : interfaces) {
      if (entry.loopback) {
        if (loopback.empty()) loopback = entry.name;
        continue;
      }
      if (entry.up && !entry.addresses.empty()) return entry.name;
    }
  }
  return loopback.empty() ? "lo" : loopback;
}

bool IsValidInterfaceName(std::string_view name) {
  // IFNAMSIZ is 16 with the terminating zero.
  if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == "..") return false;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f || c == '/' || c == ':') return false;
  }
  return true;
}

std::string ChooseWatchedInterface(const std::string& savedName, std::string& notice) {
  notice.clear();
  if (savedName.empty()) return DefaultRouteInterface();
  Status status;
  const std::vector<NetworkInterface> interfaces = ListInterfaces(status);
  if (status && FindInterfaceNamed(interfaces, savedName)) {
    return savedName;
  }
  std::string fallback = DefaultRouteInterface();
  notice = status ? "The interface " + savedName + " is not present"
                  : "The interface " + savedName + " cannot be found (" + status.reason + ")";
  notice += "; watching " + fallback + " instead.";
  return fallback;
}

}  // namespace corvane
