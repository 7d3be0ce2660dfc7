// The machine's network interfaces by name, their addresses, and which one
// the monitor watches when the user has not chosen.
//
// Safe on any thread; every call reads the system afresh (getifaddrs, the
// routing tables under /proc/thread-self/net, so a thread in another network
// namespace sees its own). Failures are values: a list that cannot be read
// comes back empty with the reason.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_address.h"
#include "platform/status.h"

namespace corvane {

struct NetworkInterface {
  std::string name;  // "eth0", "lo"
  unsigned index = 0;
  bool up = false;
  bool running = false;
  bool loopback = false;
  // Every IPv4 and IPv6 address with the length of its network prefix, in
  // the order the system reports them.
  std::vector<IpPrefix> addresses;
};

// One entry per interface, in the order of the system's interface indexes.
// Empty, with `status` saying why, when the list cannot be fetched.
std::vector<NetworkInterface> ListInterfaces(Status& status);

// The entry named `name`, or null.
const NetworkInterface* FindInterfaceNamed(const std::vector<NetworkInterface>& interfaces,
                                           std::string_view name);

// The name of the interface that holds `address`; empty when none does.
std::string InterfaceHolding(const std::vector<NetworkInterface>& interfaces,
                             const IpAddress& address);

// True when the kernel takes `address` as one of this host's: an address an
// interface holds, or one inside a local route (all of 127.0.0.0/8 on lo),
// which a socket can be bound to. False when it is another host's.
bool IsLocalAddress(const IpAddress& address);

// The interface's own addresses and the networks they sit in.
LocalNetworks NetworksOf(const NetworkInterface& interface);

// The interface of the IPv4 default route with the lowest metric, else the
// IPv6 one; empty when there is no default route. `ipv4Routes` is the text
// of /proc/net/route, `ipv6Routes` that of /proc/net/ipv6_route; lines of
// another shape, routes that are down and reject routes are skipped.
std::string DefaultRouteInterfaceFrom(std::string_view ipv4Routes, std::string_view ipv6Routes);

// What is watched when nothing is chosen: the interface of the default
// route; else the first interface that is up, not loopback and has an
// address; loopback only when nothing else is up ("lo" when even the list
// cannot be read).
std::string DefaultRouteInterface();

// A name the kernel could give an interface: 1 to 15 bytes, none of them
// white space, a control character, '/' or ':', and not "." or "..".
// A name read from a file that fails this is damaged.
bool IsValidInterfaceName(std::string_view name);

// The interface to watch at start: `savedName` when such an interface
// exists now, else DefaultRouteInterface(). `notice` then says why the
// saved one is not used (empty when there was none saved or it is used).
std::string ChooseWatchedInterface(const std::string& savedName, std::string& notice);

}  // namespace corvane
