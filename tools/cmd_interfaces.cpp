#include "tools/commands.h"

#include <cstdio>

#include "platform/interfaces.h"
#include "platform/ip_address.h"

namespace corvane {

// One line per interface: its name, its state words ("up" or "down",
// "running", "loopback", "default") joined by commas, then each address
// with its prefix length.
int RunInterfaces() {
  Status listed;
  const std::vector<NetworkInterface> interfaces = ListInterfaces(listed);
  if (!listed) {
    std::fprintf(stderr, "corvane-cli: %s\n", listed.reason.c_str());
    return 1;
  }
  const std::string defaultName = DefaultRouteInterface();
  std::string out;
  for (const NetworkInterface& entry : interfaces) {
    out += entry.name;
    out += entry.up ? " up" : " down";
    if (entry.running) out += ",running";
    if (entry.loopback) out += ",loopback";
    if (entry.name == defaultName) out += ",default";
    for (const IpPrefix& own : entry.addresses) {
      out += ' ' + FormatIp(own.address) + '/' + std::to_string(own.length);
    }
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

}  // namespace corvane
