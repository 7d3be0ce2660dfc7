#include "tools/commands.h"

#include <bit>
#include <chrono>
#include <cstdio>

#include "engine/configuration.h"
#include "platform/clock.h"
#include "tools/cli_common.h"
#include "tools/replay.h"

namespace corvane {
namespace {

// The local networks a replay judges directions by: every --local address
// and --interface, each IPv4 one in its --mask network, and the --prefix
// networks.
LocalNetworks ReplayNetworks(const Options& options) {
  LocalNetworks networks;
  networks.addresses = options.localAddresses;
  if (options.interfaceAddress) {
    networks.addresses.push_back(IpAddress::V4(*options.interfaceAddress));
  }
  const auto maskLength = static_cast<uint8_t>(std::popcount(options.mask));
  for (const IpAddress& address : networks.addresses) {
    if (address.IsV4()) {
      networks.prefixes.push_back(
          IpPrefix{IpAddress::V4(address.V4Value() & options.mask), maskLength});
    }
  }
  networks.prefixes.insert(networks.prefixes.end(), options.prefixes.begin(),
                           options.prefixes.end());
  return networks;
}

// The IPv4 address the settings name as the interface's: --interface, else
// the first IPv4 --local address, else none.
uint32_t ReplayInterfaceAddress(const Options& options) {
  if (options.interfaceAddress) return *options.interfaceAddress;
  for (const IpAddress& address : options.localAddresses) {
    if (address.IsV4()) return address.V4Value();
  }
  return 0;
}

// How long a replay waits for the last names before it prints without them.
constexpr std::chrono::seconds kReplayNameWait{60};

}  // namespace

int RunReplay(const Options& options) {
  ReplayEnv env;
  ManualClock& clock = env.clock();
  Monitor monitor(env, options.folders.config);
  monitor.SetInterfaceAddress(ReplayInterfaceAddress(options), options.mask);
  Settings settings = CurrentSettings(monitor.settings());
  settings.hideLanFlows = options.hideLan;
  monitor.ApplySettings(settings);
  monitor.SetLocalNetworks(ReplayNetworks(options));
  if (!SetUpFiltersAndNames(options, monitor, true)) return 1;
  if (!Configure(options, monitor)) return 1;
  if (!options.ownersFile.empty()) {
    SocketOwnersResult owners = LoadSocketOwners(options.ownersFile);
    if (!owners.ok) {
      std::fprintf(stderr, "corvane-cli: %s\n", owners.error.c_str());
      return 1;
    }
    monitor.UseSocketOwners(owners.owners);
  }
  if (options.history) {
    if (HistoryStatus status = monitor.EnableHistory(options.folders.history); !status) {
      std::fprintf(stderr, "corvane-cli: %s\n", status.reason.c_str());
      return 1;
    }
  }
  ReplayResult result = ReplayCaptureFile(options.file, monitor, clock);
  monitor.FlushHistory();
  if (!result.ok) {
    std::fprintf(stderr, "corvane-cli: %s\n", result.error.c_str());
    // Totals of the part before the damage would read as the file's own:
    // nothing is printed and no final log is saved.
    if (result.partial) {
      std::fprintf(stderr,
                   "corvane-cli: the file was read only up to there (%llu datagrams); no list "
                   "or totals are printed\n",
                   static_cast<unsigned long long>(result.datagrams));
    }
    return 1;
  }
  if (options.resolve && !monitor.WaitForHostNames(kReplayNameWait)) {
    std::fprintf(stderr, "corvane-cli: some host names did not arrive in time\n");
  }
  std::string out;
  if (options.flows) {
    AppendFlowTotals(monitor, out);
  } else {
    PrintList(monitor, out);
  }
  AppendTotals(monitor, out);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return SaveAtEnd(options, monitor) ? 0 : 1;
}

}  // namespace corvane
