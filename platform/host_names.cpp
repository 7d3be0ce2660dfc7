#include "platform/host_names.h"

#include "platform/file_io.h"

namespace corvane {

namespace {

const IpPrefix kLocalScopes[] = {
    {*ParseIp("10.0.0.0"), 8},     {*ParseIp("172.16.0.0"), 12}, {*ParseIp("192.168.0.0"), 16},
    {*ParseIp("100.64.0.0"), 10},  {*ParseIp("169.254.0.0"), 16}, {*ParseIp("127.0.0.0"), 8},
    {*ParseIp("fe80::"), 10},      {*ParseIp("fc00::"), 7},        {*ParseIp("::1"), 128},
};

// Calls `line` for each line of `text` with its comment ('#' on) removed.
template <typename Fn>
void ForEachLine(std::string_view text, Fn line) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view one = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (const size_t hash = one.find('#'); hash != std::string_view::npos) one = one.substr(0, hash);
    if (!line(one)) return;
  }
}

// The next word of `text` (space or tab separated), taken off its front.
std::string_view NextWord(std::string_view& text) {
  size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string_view::npos) {
    text = {};
    return {};
  }
  size_t end = text.find_first_of(" \t\r", start);
  std::string_view word = text.substr(start, end == std::string_view::npos ? text.npos : end - start);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end);
  return word;
}

std::string ReadSmallFile(const char* path) {
  std::string content;
  if (!ReadFile(path, content)) return {};
  return content;
}

}  // namespace

bool IsLocalScopeAddress(const IpAddress& address) {
  for (const IpPrefix& scope : kLocalScopes) {
    if (scope.Contains(address)) return true;
  }
  return false;
}

bool ResolverIsOnThisMachine(std::string_view resolvConf) {
  bool any = false, allLocal = true;
  ForEachLine(resolvConf, [&](std::string_view line) {
    if (NextWord(line) != "nameserver") return true;
    const std::optional<IpAddress> server = ParseIp(NextWord(line));
    any = true;
    if (!server || !IsLoopback(*server)) allLocal = false;
    return true;
  });
  return any && allLocal;
}

std::optional<std::string> NameFromHostsFile(const IpAddress& address, std::string_view hosts) {
  std::optional<std::string> name;
  ForEachLine(hosts, [&](std::string_view line) {
    const std::optional<IpAddress> entry = ParseIp(NextWord(line));
    if (!entry || *entry != address) return true;
    const std::string_view first = NextWord(line);
    if (first.empty()) return true;
    name = std::string(first);
    return false;
  });
  return name;
}

std::optional<std::string> NameForAddress(
    const IpAddress& address, std::optional<std::string> (*resolve)(const IpAddress& address)) {
  if (IsLocalScopeAddress(address) && !ResolverIsOnThisMachine(ReadSmallFile("/etc/resolv.conf"))) {
    return NameFromHostsFile(address, ReadSmallFile("/etc/hosts"));
  }
  return resolve(address);
}

}  // namespace corvane
