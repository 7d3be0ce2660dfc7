// Where the name of a remote address may come from.
//
// Addresses of this machine's own networks (loopback, link-local, the
// private RFC 1918 and shared ranges, IPv6 unique local) say where the
// user's own devices are; their reverse lookups must not leave the machine.
// They are named from /etc/hosts, or by the system resolver only when every
// server of /etc/resolv.conf runs on this machine. Every other address goes
// to the system resolver as usual.
//
// Pure functions on texts, plus NameForAddress, which reads the two files and
// may block for as long as the resolver takes; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/ip_address.h"

namespace corvane {

// Loopback, link-local (169.254/16, fe80::/10), 10/8, 172.16/12,
// 192.168/16, 100.64/10 and fc00::/7.
bool IsLocalScopeAddress(const IpAddress& address);

// True when /etc/resolv.conf's text names at least one server and every one
// is a loopback address (a resolver on this machine).
bool ResolverIsOnThisMachine(std::string_view resolvConf);

// The first name /etc/hosts's text gives `address`, or nullopt.
std::optional<std::string> NameFromHostsFile(const IpAddress& address, std::string_view hosts);

// The name of `address` by the rule above: `resolve` (the system resolver,
// ReverseLookup of platform/net.h) for public addresses, or when the resolver is on this machine; else
// /etc/hosts alone.
std::optional<std::string> NameForAddress(
    const IpAddress& address,
    std::optional<std::string> (*resolve)(const IpAddress& address));

}  // namespace corvane
