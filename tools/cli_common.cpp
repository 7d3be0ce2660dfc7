#include "tools/cli_common.h"

#include <algorithm>
#include <cstdio>

#include "engine/configuration.h"
#include "platform/app_directory.h"
#include "platform/file_io.h"
#include "platform/host_names.h"
#include "platform/ip_address.h"
#include "platform/net.h"
#include "storage/data_migration.h"
#include "storage/traffic_log.h"
#include "vocabulary/text_format.h"

namespace corvane {

// Resolves and creates the data folders and moves in what an older build
// left beside the program. Folders or files another user could have planted
// end the run (false); a folder that cannot be made is reported, and what
// needs it fails later with its own message.
bool PrepareDataFolders(Options& options) {
  options.folders = ResolveDataFolders(options.dataDir);
  if (Status checked = CheckDataFolders(options.folders); !checked) {
    std::fprintf(stderr, "corvane-cli: %s\n", checked.reason.c_str());
    return false;
  }
  for (const std::string& folder : {options.folders.config, options.folders.logs}) {
    if (Status made = MakePrivateFolder(folder); !made) {
      std::fprintf(stderr, "corvane-cli: %s\n", made.reason.c_str());
    }
  }
  if (options.dataDir || !ProcessEnvironment(kDataDirVariable).value_or("").empty()) return true;
  const std::string oldDirectory = AppDirectory();
  const std::string message =
      MigrationMessage(oldDirectory, MigrateOldDataFiles(oldDirectory, options.folders));
  if (!message.empty()) std::fprintf(stderr, "corvane-cli: %s", message.c_str());
  return true;
}

void PrintList(Monitor& monitor, std::string& out) {
  std::vector<RowCells> rows;
  {
    TrafficList::ReadLock lock(monitor.list());
    rows = monitor.list().Rows();
  }
  for (const RowCells& row : rows) {
    out += FormatRowLine(row);
    out += '\n';
  }
}

// "ADDRESS DOWNLOAD UPLOAD" per remote address, exact, in address order.
void AppendFlowTotals(Monitor& monitor, std::string& out) {
  // IPv4 addresses first, each family in numeric order.
  const std::vector<AddressTotal> flows = monitor.flows().AddressTotals();
  // About 30 bytes a line (an IPv4 address and two counts): one allocation
  // for most lists instead of a doubling string.
  out.reserve(out.size() + flows.size() * 32);
  char line[128];
  for (const AddressTotal& flow : flows) {
    std::snprintf(line, sizeof line, "%s %llu %llu\n", FormatIp(flow.remoteAddress).c_str(),
                  static_cast<unsigned long long>(flow.counts.downloadBytes),
                  static_cast<unsigned long long>(flow.counts.uploadBytes));
    out += line;
  }
}

void AppendTotals(Monitor& monitor, std::string& out) {
  char line[64];
  std::snprintf(line, sizeof line, "totals %llu %llu\n",
                static_cast<unsigned long long>(monitor.Totals().first),
                static_cast<unsigned long long>(monitor.Totals().second));
  out += line;
}

// Applies --filters and --resolve. False when the filter file was asked for
// and cannot be read.
bool SetUpFiltersAndNames(const Options& options, Monitor& monitor, bool loadNow) {
  if (!options.filterFile.empty()) {
    monitor.SetFilterFile(options.filterFile);
    FilterLoadResult loaded = LoadFilterSet(options.filterFile);
    if (loaded.status != FilterLoadStatus::Loaded) {
      std::fprintf(stderr, "corvane-cli: %s\n", loaded.read.reason.c_str());
      return false;
    }
    if (loadNow) monitor.SetFilters(std::move(loaded.filters));
  }
  // Private and local addresses are named only from local sources.
  if (options.resolve) {
    monitor.EnableHostNames();
  }
  return true;
}

// --proxy and --save-log, for replay and watch. False (after a message) when
// the proxy host has no address.
bool Configure(const Options& options, Monitor& monitor) {
  if (options.proxy) {
    const std::string& text = *options.proxy;
    size_t colon = text.rfind(':');
    std::string host = text.substr(0, colon);
    // An IPv6 proxy is written [ADDR]:PORT.
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
    ResolvedProxy resolved = ResolveProxyHost(host);
    if (!resolved.found) {
      std::fprintf(stderr, "corvane-cli: Can't resolve proxy IP address! (%s)\n", host.c_str());
      return false;
    }
    OptionsResult result;
    result.interfaceAddress = monitor.settings().interfaceAddress.load();
    result.interfaceMask = monitor.settings().interfaceMask.load();
    result.hideLanFlows = monitor.settings().hideLanFlows.load();
    result.proxyEnabled = true;
    result.proxyHostText = resolved.dottedText;
    result.proxyPortText = text.substr(colon + 1);
    monitor.ApplyOptions(result);
  }
  if (options.saveLogs) {
    monitor.SetLogWriter(
        TrafficLogWriter(options.logDirectory.value_or(options.folders.logs), monitor.clock()));
  }
  return true;
}

// With --save-log: the final Save & Clear. False when the log could not be
// written.
bool SaveAtEnd(const Options& options, Monitor& monitor) {
  if (!options.saveLogs) return true;
  if (Status saved = monitor.SaveAndClear(); !saved) {
    std::fprintf(stderr, "corvane-cli: %s\n", saved.reason.c_str());
    return false;
  }
  return true;
}

// --save-log: the folder must take files before the replay or watch
// starts, not only when its log is written at the end. False after a
// message when it cannot.
bool LogFolderReady(const Options& options) {
  if (!options.saveLogs) return true;
  const Status ready = CheckWritableFolder(options.logDirectory.value_or(options.folders.logs));
  if (!ready) std::fprintf(stderr, "corvane-cli: can't save logs: %s\n", ready.reason.c_str());
  return ready.ok;
}

}  // namespace corvane
