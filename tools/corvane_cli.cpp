// corvane-cli: the monitor without a window. Replays capture files through
// the same accounting and processing code as the window, or watches live
// traffic and prints the traffic list every second (or a JSON line for each
// row as it appears or changes, see tools/watch_output.h), or lists the network
// interfaces, or reports from the traffic history.
//
// Its files are the window's: set.dat and filters.dat in the configuration
// folder, traffic logs in the log folder, history.sqlite in the state folder
// (see platform/data_folders.h); --data-dir DIR or CORVANE_DATA_DIR keeps all
// of them in DIR.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <bit>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "attribution/kernel_owners.h"
#include "engine/configuration.h"
#include "engine/monitor.h"
#include "engine/wiring.h"
#include "vocabulary/text_format.h"
#include "platform/address_watcher.h"
#include "platform/app_directory.h"
#include "platform/clock.h"
#include "platform/data_folders.h"
#include "platform/file_io.h"
#include "platform/host_names.h"
#include "platform/helper_capture.h"
#include "platform/interfaces.h"
#include "platform/ip_address.h"
#include "platform/net.h"
#include "storage/data_migration.h"
#include "storage/export_format.h"
#include "storage/history_report.h"
#include "storage/history_store.h"
#include "storage/settings.h"
#include "storage/traffic_log.h"
#include "tools/metrics_publisher.h"
#include "tools/replay.h"
#include "tools/watch_output.h"

namespace corvane {
namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  corvane-cli replay FILE (--interface A.B.C.D | --local ADDR)... [--mask A.B.C.D]\n"
    "                    [--prefix ADDR/LEN]... [--hide-lan] [--flows] [--owners FILE]\n"
    "                    [--history]\n"
    "  corvane-cli watch [--interface NAME|ADDRESS] [--seconds N] [--flows] [--no-history]\n"
    "                    [--metrics-file PATH] [--metrics-interval N]\n"
    "                    [--metrics-listen [ADDR:]PORT] [--metrics-token-file FILE]\n"
    "                    [--format text|jsonl]\n"
    "  corvane-cli interfaces\n"
    "  corvane-cli logs [DIR] [--show NAME [--format csv|json]]\n"
    "  corvane-cli report [--by app|host|remote|day|month] [--since DATE] [--until DATE]\n"
    "                     [--format table|csv|json]\n"
    "  corvane-cli --help | --version\n"
    "  watch --interface takes an interface name, or an address of this host (one an\n"
    "  interface holds, or one inside a local route such as 127.0.0.0/8); without\n"
    "  it, watch uses the interface saved by the window, else the default route's.\n"
    "  --flows prints each remote address with its exact byte counts at the end.\n"
    "  interfaces marks the default route's interface with \"default\".\n"
    "options of replay:\n"
    "  --local ADDR      an address of the capturing host, IPv4 or IPv6 (repeatable;\n"
    "                    --interface A.B.C.D is one more)\n"
    "  --mask A.B.C.D    the IPv4 network mask of the local addresses\n"
    "  --prefix ADDR/LEN an IPv6 network of the capturing host (repeatable)\n"
    "  --owners FILE     the sockets' owners while the capture was taken, one per line:\n"
    "                    tcp|udp LOCAL_ADDR LOCAL_PORT REMOTE_ADDR REMOTE_PORT PID UID NAME\n"
    "  --history         count the replayed traffic into the traffic history\n"
    "options of watch:\n"
    "  --no-history      keep no traffic history (watch keeps it by default)\n"
    "  --format FORMAT   text (default): the list every second, each row with its\n"
    "                    download and upload rate; jsonl: a JSON object per line\n"
    "                    for each row as it appears or changes, with the export's\n"
    "                    fields and download_rate and upload_rate in bytes/s\n"
    "  --metrics-file PATH  write the counts for Prometheus (node_exporter's textfile\n"
    "                    collector) to PATH every --metrics-interval seconds (15)\n"
    "  --metrics-listen [ADDR:]PORT  serve the counts at http://ADDR:PORT/metrics;\n"
    "                    ADDR is 127.0.0.1 without it, [ADDR] for IPv6\n"
    "  --metrics-token-file FILE  answer only requests with this bearer token\n"
    "options of replay and watch:\n"
    "  --filters FILE    hide flows by this filter file (watch reads filters.dat of\n"
    "                    the configuration folder without it; replay hides nothing)\n"
    "  --resolve         name remote hosts by reverse lookups\n"
    "  --proxy HOST:PORT split the traffic with this HTTP proxy by web host\n"
    "                    (an IPv6 address as [ADDR]:PORT)\n"
    "  --save-log [DIR]  save traffic logs into DIR (default: the log folder)\n"
    "option of logs:\n"
    "  --format FORMAT   show the log as CSV or JSON, with the byte counts and\n"
    "                    times (UTC) that its texts show\n"
    "options of report:\n"
    "  --by WHAT         group the bytes by application (default), remote host,\n"
    "                    remote address, UTC day or UTC month\n"
    "  --since DATE      from YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ (UTC) on\n"
    "  --until DATE      up to the end of day YYYY-MM-DD, or before the moment\n"
    "                    YYYY-MM-DDTHH:MM:SSZ\n"
    "  --format FORMAT   a table (default), CSV or JSON, with whole byte counts\n"
    "option of every command:\n"
    "  --data-dir DIR    keep settings, filters, logs and history in DIR (also CORVANE_DATA_DIR)\n"
    "folders: $XDG_CONFIG_HOME/corvane (~/.config/corvane) for set.dat and filters.dat,\n"
    "         $XDG_STATE_HOME/corvane/logs (~/.local/state/corvane/logs) for the logs,\n"
    "         $XDG_STATE_HOME/corvane/history.sqlite for the traffic history\n";

struct Options {
  std::string command;
  std::string file;
  std::optional<uint32_t> interfaceAddress;
  std::string interfaceText;  // watch: a name or an address
  uint32_t mask = 0xffffffffu;
  std::vector<IpAddress> localAddresses;  // replay: --local
  std::vector<IpPrefix> prefixes;         // replay: --prefix
  std::string ownersFile;                 // replay: --owners
  bool history = false;                   // replay: --history; watch: not --no-history
  bool hideLan = false;
  bool flows = false;
  long seconds = -1;
  std::string filterFile;
  bool resolve = false;
  std::optional<std::string> proxy;    // HOST:PORT
  bool saveLogs = false;
  std::optional<std::string> logDirectory;  // --save-log DIR, or logs DIR
  std::optional<std::string> showLog;       // logs: the display name to show
  std::optional<ExportFormat> logFormat;    // logs: --format
  HistoryGrouping grouping = HistoryGrouping::kApp;  // report: --by
  ReportFormat format = ReportFormat::kTable;         // report: --format
  std::optional<int64_t> since;                       // report: --since, UTC
  std::optional<int64_t> until;                       // report: --until, UTC, exclusive
  MetricsOptions metrics;                             // watch: --metrics-*
  WatchFormat watchFormat = WatchFormat::kText;       // watch: --format
  std::optional<std::string> dataDir;
  DataFolders folders;                      // resolved after parsing
};

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "corvane-cli: %s\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

std::optional<uint32_t> ParseDotted(const char* text) {
  in_addr in{};
  if (::inet_pton(AF_INET, text, &in) != 1) return std::nullopt;
  return in.s_addr;
}

// Returns 0 when parsed, else the exit code.
int ParseOptions(int argc, char** argv, Options& options) {
  if (argc < 2) return Usage(nullptr);
  options.command = argv[1];
  if (options.command != "replay" && options.command != "watch" && options.command != "logs" &&
      options.command != "interfaces" && options.command != "report") {
    return Usage("unknown command");
  }
  options.history = options.command == "watch";
  int i = 2;
  if (options.command == "logs" && argc >= 3 && argv[2][0] != '-') {
    options.logDirectory = argv[2];
    i = 3;
  }
  if (options.command == "replay") {
    if (argc < 3 || argv[2][0] == '-') return Usage("replay needs a capture file");
    options.file = argv[2];
    i = 3;
  }
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--data-dir") {
      const char* text = value();
      if (!text || text[0] == '\0') return Usage("--data-dir needs a directory");
      options.dataDir = text;
      continue;
    }
    if (options.command == "interfaces") return Usage(("unknown option " + arg).c_str());
    if (options.command == "report") {
      const char* text = value();
      if (arg == "--by") {
        auto grouping = text ? ParseGrouping(text) : std::nullopt;
        if (!grouping) return Usage("--by needs app, host, remote, day or month");
        options.grouping = *grouping;
      } else if (arg == "--format") {
        auto format = text ? ParseReportFormat(text) : std::nullopt;
        if (!format) return Usage("--format needs table, csv or json");
        options.format = *format;
      } else if (arg == "--since" || arg == "--until") {
        auto time = text ? ParseUtcTime(text, arg == "--until") : std::nullopt;
        if (!time) return Usage((arg + " needs YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ").c_str());
        (arg == "--since" ? options.since : options.until) = *time;
      } else {
        return Usage(("unknown option " + arg).c_str());
      }
      continue;
    }
    if (options.command == "logs") {
      if (arg == "--show" && i + 1 < argc) {
        options.showLog = argv[++i];
        continue;
      }
      if (arg == "--format") {
        const char* text = value();
        options.logFormat = text ? ParseExportFormat(text) : std::nullopt;
        if (!options.logFormat) return Usage("--format needs csv or json");
        continue;
      }
      return Usage(("unknown option " + arg).c_str());
    }
    if (arg == "--proxy") {
      const char* text = value();
      if (!text || std::strrchr(text, ':') == nullptr || text[0] == ':') {
        return Usage("--proxy needs HOST:PORT");
      }
      options.proxy = text;
      continue;
    }
    if (arg == "--save-log") {
      options.saveLogs = true;
      // The directory is optional: a following option is not one.
      if (i + 1 < argc && argv[i + 1][0] != '-') {
        if (argv[i + 1][0] == '\0') return Usage("--save-log needs a directory");
        options.logDirectory = argv[++i];
      }
      continue;
    }
    if (arg == "--interface" && options.command == "watch") {
      const char* text = value();
      if (!text || text[0] == '\0') return Usage("--interface needs a name or an address");
      options.interfaceText = text;
    } else if (arg == "--interface") {
      const char* text = value();
      if (!text) return Usage("--interface needs an address");
      options.interfaceAddress = ParseDotted(text);
      if (!options.interfaceAddress) return Usage("--interface needs a dotted IPv4 address");
    } else if (arg == "--local" && options.command == "replay") {
      const char* text = value();
      auto address = text ? ParseIp(text) : std::nullopt;
      if (!address) return Usage("--local needs an IPv4 or IPv6 address");
      options.localAddresses.push_back(*address);
    } else if (arg == "--prefix" && options.command == "replay") {
      const char* text = value();
      auto prefix = text ? ParsePrefix(text) : std::nullopt;
      if (!prefix || !prefix->address.IsV6()) return Usage("--prefix needs an IPv6 ADDR/LEN");
      options.prefixes.push_back(*prefix);
    } else if (arg == "--mask" && options.command == "replay") {
      const char* text = value();
      auto mask = text ? ParseDotted(text) : std::nullopt;
      if (!mask) return Usage("--mask needs a dotted IPv4 mask");
      options.mask = *mask;
    } else if (arg == "--owners" && options.command == "replay") {
      const char* text = value();
      if (!text || text[0] == '\0') return Usage("--owners needs a file");
      options.ownersFile = text;
    } else if (arg == "--history" && options.command == "replay") {
      options.history = true;
    } else if (arg == "--no-history" && options.command == "watch") {
      options.history = false;
    } else if (arg == "--metrics-file" && options.command == "watch") {
      const char* text = value();
      if (!text || text[0] == '\0') return Usage("--metrics-file needs a path");
      options.metrics.file = text;
    } else if (arg == "--metrics-interval" && options.command == "watch") {
      const char* text = value();
      char* end = nullptr;
      const long seconds = text ? std::strtol(text, &end, 10) : 0;
      if (!text || *end != '\0' || seconds < 1 || seconds > 86400) {
        return Usage("--metrics-interval needs a number of seconds from 1 to 86400");
      }
      options.metrics.intervalSeconds = static_cast<int>(seconds);
    } else if (arg == "--metrics-listen" && options.command == "watch") {
      const char* text = value();
      options.metrics.listen = text ? ParseMetricsEndpoint(text) : std::nullopt;
      if (!options.metrics.listen) {
        return Usage("--metrics-listen needs PORT, A.B.C.D:PORT or [IPV6]:PORT");
      }
    } else if (arg == "--metrics-token-file" && options.command == "watch") {
      const char* text = value();
      if (!text || text[0] == '\0') return Usage("--metrics-token-file needs a file");
      options.metrics.tokenFile = text;
    } else if (arg == "--format" && options.command == "watch") {
      const char* text = value();
      auto format = text ? ParseWatchFormat(text) : std::nullopt;
      if (!format) return Usage("--format needs text or jsonl");
      options.watchFormat = *format;
    } else if (arg == "--hide-lan" && options.command == "replay") {
      options.hideLan = true;
    } else if (arg == "--flows") {
      options.flows = true;
    } else if (arg == "--seconds" && options.command == "watch") {
      const char* text = value();
      char* end = nullptr;
      options.seconds = text ? std::strtol(text, &end, 10) : -1;
      if (!text || *end != '\0' || options.seconds < 0) return Usage("--seconds needs a number");
    } else if (arg == "--filters") {
      const char* text = value();
      if (!text) return Usage("--filters needs a file");
      options.filterFile = text;
    } else if (arg == "--resolve") {
      options.resolve = true;
    } else {
      return Usage(("unknown option " + arg).c_str());
    }
  }
  if (options.command == "replay" && !options.interfaceAddress && options.localAddresses.empty()) {
    return Usage("replay needs --interface or --local");
  }
  if (options.logFormat && !options.showLog) return Usage("--format needs --show NAME");
  if (!options.metrics.tokenFile.empty() && !options.metrics.listen) {
    return Usage("--metrics-token-file needs --metrics-listen");
  }
  if (options.flows && options.watchFormat == WatchFormat::kJsonl) {
    return Usage("--flows prints text, not with --format jsonl");
  }
  return 0;
}

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
  std::vector<AddressTotal> flows = monitor.flows().AddressTotals();
  // IPv4 addresses first, each family in numeric order.
  std::sort(flows.begin(), flows.end(), [](const AddressTotal& a, const AddressTotal& b) {
    return a.remoteAddress < b.remoteAddress;
  });
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
    monitor.EnableHostNames(
        [](const IpAddress& address) { return NameForAddress(address, ReverseLookup); });
  }
  return true;
}

// How long a replay waits for the last names before it prints without them.
constexpr std::chrono::seconds kReplayNameWait{60};
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

int RunLogs(const Options& options) {
  const std::string directory = options.logDirectory.value_or(options.folders.logs);
  std::vector<LogChoice> choices = ListLogs(directory);
  std::string out;
  if (options.showLog && options.logFormat) {
    std::vector<ExportRow> rows;
    for (const RowCells& row : RowsForDisplayName(directory, choices, *options.showLog)) {
      rows.push_back(ExportRowOfLog(row));
    }
    out = FormatExport(rows, *options.logFormat);
  } else if (options.showLog) {
    for (const RowCells& row : RowsForDisplayName(directory, choices, *options.showLog)) {
      out += FormatRowLine(row);
      out += '\n';
    }
  } else {
    for (const LogChoice& choice : choices) out += choice.displayName + '\t' + choice.fileName + '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

// Reads the history without changing it; a missing or damaged database is
// reported with its path.
int RunReport(const Options& options) {
  HistoryStore store;
  HistoryStatus status = store.Open(options.folders.history, HistoryStore::Mode::kReadOnly);
  std::vector<HistoryTotal> totals;
  if (status) {
    status = store.Totals(options.grouping, options.since.value_or(INT64_MIN),
                          options.until.value_or(INT64_MAX), totals);
  }
  if (!status) {
    std::fprintf(stderr, "corvane-cli: %s\n", status.reason.c_str());
    return 1;
  }
  const std::string out =
      FormatHistoryReport(totals, options.grouping, options.format, options.since, options.until);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

int RunReplay(const Options& options) {
  ManualClock clock;
  Monitor monitor(clock, options.folders.config);
  monitor.SetInterfaceAddress(ReplayInterfaceAddress(options), options.mask);
  Settings settings = CurrentSettings(monitor.settings());
  settings.hideLanFlows = options.hideLan;
  monitor.ApplySettings(settings);
  monitor.SetLocalNetworks(ReplayNetworks(options));
  if (!SetUpFiltersAndNames(options, monitor, true)) return 1;
  if (!Configure(options, monitor)) return 1;
  // The pids of a capture are another time's: no process here is read.
  monitor.SetIdentityReader([](int) { return std::nullopt; });
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

// "lo (127.0.0.1/8 ::1/128), eth0 (...)": the interfaces for a message.
std::string InterfacesText(const std::vector<NetworkInterface>& interfaces) {
  std::string text;
  for (const NetworkInterface& entry : interfaces) {
    if (!text.empty()) text += ", ";
    text += IsValidInterfaceName(entry.name) ? entry.name : std::string("?");
    std::string addresses;
    for (const IpPrefix& own : entry.addresses) {
      addresses += (addresses.empty() ? "" : " ") + FormatIp(own.address) + '/' +
                   std::to_string(own.length);
    }
    text += " (" + (addresses.empty() ? std::string("no address") : addresses) + ')';
  }
  return text.empty() ? std::string("none") : text;
}

// The interface watch captures on: --interface as a name, or the one that
// holds it as an address; without it the saved one, else the default
// route's. An address of this host that no interface lists (127.0.0.2 in
// lo's 127.0.0.0/8, or another local route's) is watched on the loopback
// interface, which all traffic to and from such addresses crosses, and is
// set in `extraLocal` to count as a local address. Empty (after a message)
// when --interface names nothing here.
std::string WatchedInterface(const Options& options, std::optional<IpAddress>& extraLocal) {
  if (options.interfaceText.empty()) {
    const auto saved = ReadSettingsFile(options.folders.config + "/" + kSettingsFileName);
    std::string notice;
    std::string name = ChooseWatchedInterface(saved ? saved->interfaceName : std::string(), notice);
    if (!notice.empty()) std::fprintf(stderr, "corvane-cli: %s\n", notice.c_str());
    return name;
  }
  Status listed;
  const std::vector<NetworkInterface> interfaces = ListInterfaces(listed);
  if (!listed) {
    std::fprintf(stderr, "corvane-cli: %s\n", listed.reason.c_str());
    return {};
  }
  if (FindInterfaceNamed(interfaces, options.interfaceText)) return options.interfaceText;
  if (auto address = ParseIp(options.interfaceText)) {
    std::string name = InterfaceHolding(interfaces, *address);
    if (name.empty() && IsLocalAddress(*address)) {
      for (const NetworkInterface& entry : interfaces) {
        if (entry.loopback && name.empty()) name = entry.name;
      }
      if (!name.empty()) extraLocal = *address;
    }
    if (!name.empty()) return name;
    std::fprintf(stderr, "corvane-cli: %s is not an address of this host; its interfaces: %s\n",
                 options.interfaceText.c_str(), InterfacesText(interfaces).c_str());
    return {};
  }
  std::fprintf(stderr, "corvane-cli: no interface named %s (corvane-cli interfaces lists them)\n",
               options.interfaceText.c_str());
  return {};
}

std::atomic<bool> interrupted{false};

void OnSignal(int) { interrupted.store(true); }

int RunWatch(const Options& options) {
  // Before the Monitor, which hands it changes until it is gone.
  RowChangeFeed feed;
  SystemClock clock;
  Monitor monitor(clock, options.folders.config);
  monitor.SetErrorHandler([](const std::string& message) {
    std::fprintf(stderr, "corvane-cli: %s\n", message.c_str());
  });
  monitor.SetTitleHandler([](const std::string& title) {
    std::fprintf(stderr, "%s\n", title.c_str());
  });
  if (!SetUpFiltersAndNames(options, monitor, false)) return 1;
  // Without its history the watch still shows and counts everything.
  if (options.history) {
    if (HistoryStatus status = monitor.EnableHistory(options.folders.history); !status) {
      std::fprintf(stderr, "corvane-cli: %s\n", status.reason.c_str());
    }
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  // A reader that goes away ends the watch in order (history and log saved).
  std::signal(SIGPIPE, SIG_IGN);
  // Metrics first: a port in use or a file that can't be written ends the
  // watch before capture starts.
  MetricsPublisher metrics(options.metrics);
  std::string metricsError;
  auto endpoint = metrics.Start(metricsError);
  if (!endpoint) {
    std::fprintf(stderr, "corvane-cli: %s\n", metricsError.c_str());
    return 1;
  }
  if (options.metrics.listen) {
    std::fprintf(stderr, "metrics: http://%s/metrics\n", FormatMetricsEndpoint(*endpoint).c_str());
  }
  if (auto error = metrics.Publish(monitor, 0)) {
    std::fprintf(stderr, "corvane-cli: %s\n", error->c_str());
    return 1;
  }
  monitor.SetCaptureStateHandler(
      [&metrics](const Monitor::CaptureState& state) { metrics.SetCaptureState(state); });
  std::optional<IpAddress> extraLocal;
  const std::string interfaceName = WatchedInterface(options, extraLocal);
  if (interfaceName.empty()) return 1;
  // The interface's addresses decide each datagram's direction; they are
  // followed while the watch runs.
  AddressWatcher addresses;
  if (Status watching = addresses.Start(
          interfaceName,
          [&monitor, extraLocal](const LocalNetworks& networks) {
            if (!extraLocal) return monitor.SetLocalNetworks(networks);
            LocalNetworks withExtra = networks;
            withExtra.addresses.push_back(*extraLocal);
            monitor.SetLocalNetworks(withExtra);
          });
      !watching) {
    std::fprintf(stderr, "corvane-cli: %s\n", watching.reason.c_str());
  }
  if (!Configure(options, monitor)) return 1;
  // Capture runs in the capture helper; this program holds no capability.
  // It is opened here first so that a user without capture rights gets the
  // reason and a failing exit status at once.
  HelperCaptureOptions helper;
  helper.onStopped = [](const std::string& reason) {
    std::fprintf(stderr, "corvane-cli: %s\n", reason.c_str());
  };
  // Set by the capture thread whenever a helper starts; read by the ticks.
  std::atomic<capture::AttributionMode> mode{capture::AttributionMode::kProc};
  helper.onReady = [&mode](capture::AttributionMode now) { mode.store(now); };
  LiveWiring wiring;
  wiring.helper = std::move(helper);
  wiring.openNow = interfaceName;
  wiring.opened = [](const std::string& reason) {
    if (!reason.empty()) std::fprintf(stderr, "corvane-cli: %s\n", reason.c_str());
  };
  // The log (--save-log) and the names (--resolve) are set up as for a
  // replay, by Configure and SetUpFiltersAndNames.
  wiring.hostNames = false;
  if (Status opened = WireLiveMonitor(monitor, std::move(wiring)); !opened) {
    std::fprintf(stderr, "corvane-cli: %s\n", opened.reason.c_str());
    return 1;
  }
  std::fprintf(stderr, "attribution: %s\n", AttributionModeText(mode.load()));
  const bool jsonl = options.watchFormat == WatchFormat::kJsonl;
  if (jsonl) monitor.SetRowChangeSink(feed.Sink());
  JsonlWriter writer(stdout);
  RateTracker rates;
  bool written = true;
  monitor.Start(interfaceName);
  using std::chrono::steady_clock;
  auto next = steady_clock::now();
  for (long elapsed = 0; !interrupted.load() && written; ++elapsed) {
    if (options.seconds >= 0 && elapsed >= options.seconds) break;
    next += std::chrono::seconds(1);
    // The JSON lines go out as their rows change, whatever the engine's
    // pace; the ticks, the metrics and the text list keep to the second.
    for (auto now = steady_clock::now(); written && !interrupted.load() && now < next;
         now = steady_clock::now()) {
      const auto until = std::min(next, now + std::chrono::milliseconds(50));
      if (!jsonl) {
        std::this_thread::sleep_until(until);
        continue;
      }
      const RowChangeFeed::Changes changes = feed.Wait(until);
      written = writer.Write(monitor.list(), changes, steady_clock::now());
    }
    (void)monitor.TakeTick();
    if (auto error = metrics.Publish(monitor, elapsed + 1)) {
      std::fprintf(stderr, "corvane-cli: %s\n", error->c_str());
    }
    if (jsonl) continue;
    std::string out = "\n" + FormatWatchList(monitor.list(), rates, steady_clock::now());
    AppendTotals(monitor, out);
    out += "attribution: ";
    out += AttributionModeText(mode.load());
    out += '\n';
    written = std::fwrite(out.data(), 1, out.size(), stdout) == out.size() &&
              std::fflush(stdout) == 0;
  }
  std::fprintf(stderr, "corvane-cli: %llu datagrams dropped by the kernel\n",
               static_cast<unsigned long long>(monitor.CaptureDroppedByKernel()));
  monitor.Stop();
  // The rows the last pass changed.
  if (jsonl && written) written = writer.Write(monitor.list(), feed.Wait({}), steady_clock::now());
  if (!written) std::fprintf(stderr, "corvane-cli: can't write to the standard output\n");
  addresses.Stop();
  const auto metricsFailure = metrics.Finish(monitor);
  if (metricsFailure) std::fprintf(stderr, "corvane-cli: %s\n", metricsFailure->c_str());
  if (options.flows) {
    std::string out;
    AppendFlowTotals(monitor, out);
    AppendTotals(monitor, out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
  }
  return SaveAtEnd(options, monitor) && !metricsFailure && written ? 0 : 1;
}

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(corvane::kUsage, stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::fputs("corvane-cli " CORVANE_VERSION "\n", stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  corvane::Options options;
  if (int code = corvane::ParseOptions(argc, argv, options); code != 0) return code;
  if (options.command == "interfaces") return corvane::RunInterfaces();
  if (!corvane::PrepareDataFolders(options)) return 1;
  if (!corvane::LogFolderReady(options)) return 1;
  if (options.command == "replay") return corvane::RunReplay(options);
  if (options.command == "logs") return corvane::RunLogs(options);
  if (options.command == "report") return corvane::RunReport(options);
  return corvane::RunWatch(options);
}
