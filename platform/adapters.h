// The machine's network interfaces, as the Options dialog lists them.
//
// Safe on any thread. Built afresh on every call from getifaddrs.
#pragma once

#include <string>
#include <vector>

namespace corvane {

struct InterfaceEntry {
  std::string description;  // the interface name ("eth0", "lo")
  std::string addressText;  // its first IPv4 address, dotted; "0.0.0.0" when it has none
  std::string maskText;     // the mask of that address, dotted
};

// One entry per interface, in the order in which the system reports them.
// Only the first IPv4 address of an interface is used. An interface without
// one is listed with 0.0.0.0 and the mask 255.255.255.255. False (and
// `error`) when the list cannot be fetched; `entries` is then empty.
bool ListInterfaces(std::vector<InterfaceEntry>& entries, std::string& error);

}  // namespace corvane
