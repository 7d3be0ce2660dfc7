#include "tools/cli_options.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vocabulary/text_format.h"

namespace corvane {
namespace {

// The arguments after the command, read left to right.
struct ArgCursor {
  int argc;
  char** argv;
  int i;
  // The option's value, or null when the command line ends.
  const char* Value() { return i + 1 < argc ? argv[++i] : nullptr; }
};

std::optional<uint32_t> ParseDotted(const char* text) {
  in_addr in{};
  if (::inet_pton(AF_INET, text, &in) != 1) return std::nullopt;
  return in.s_addr;
}

int ParseReportOption(const std::string& arg, ArgCursor& args, Options& options) {
  const char* text = args.Value();
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
  return 0;
}

int ParseLogsOption(const std::string& arg, ArgCursor& args, Options& options) {
  if (arg == "--show" && args.i + 1 < args.argc) {
    options.showLog = args.argv[++args.i];
    return 0;
  }
  if (arg == "--format") {
    const char* text = args.Value();
    options.logFormat = text ? ParseExportFormat(text) : std::nullopt;
    if (!options.logFormat) return Usage("--format needs csv or json");
    return 0;
  }
  return Usage(("unknown option " + arg).c_str());
}

// The options only replay takes; -1 when `arg` is none of them.
int ParseReplayOption(const std::string& arg, ArgCursor& args, Options& options) {
  if (arg == "--local") {
    const char* text = args.Value();
    auto address = text ? ParseIp(text) : std::nullopt;
    if (!address) return Usage("--local needs an IPv4 or IPv6 address");
    options.localAddresses.push_back(*address);
  } else if (arg == "--prefix") {
    const char* text = args.Value();
    auto prefix = text ? ParsePrefix(text) : std::nullopt;
    if (!prefix || !prefix->address.IsV6()) return Usage("--prefix needs an IPv6 ADDR/LEN");
    options.prefixes.push_back(*prefix);
  } else if (arg == "--mask") {
    const char* text = args.Value();
    auto mask = text ? ParseDotted(text) : std::nullopt;
    if (!mask) return Usage("--mask needs a dotted IPv4 mask");
    options.mask = *mask;
  } else if (arg == "--owners") {
    const char* text = args.Value();
    if (!text || text[0] == '\0') return Usage("--owners needs a file");
    options.ownersFile = text;
  } else if (arg == "--history") {
    options.history = true;
  } else if (arg == "--hide-lan") {
    options.hideLan = true;
  } else {
    return -1;
  }
  return 0;
}

// The --metrics-* options of watch; -1 when `arg` is none of them.
int ParseMetricsOption(const std::string& arg, ArgCursor& args, Options& options) {
  if (arg == "--metrics-file") {
    const char* text = args.Value();
    if (!text || text[0] == '\0') return Usage("--metrics-file needs a path");
    options.metrics.file = text;
  } else if (arg == "--metrics-interval") {
    const char* text = args.Value();
    char* end = nullptr;
    const long seconds = text ? std::strtol(text, &end, 10) : 0;
    if (!text || *end != '\0' || seconds < 1 || seconds > 86400) {
      return Usage("--metrics-interval needs a number of seconds from 1 to 86400");
    }
    options.metrics.intervalSeconds = static_cast<int>(seconds);
  } else if (arg == "--metrics-listen") {
    const char* text = args.Value();
    options.metrics.listen = text ? ParseMetricsEndpoint(text) : std::nullopt;
    if (!options.metrics.listen) {
      return Usage("--metrics-listen needs PORT, A.B.C.D:PORT or [IPV6]:PORT");
    }
  } else if (arg == "--metrics-token-file") {
    const char* text = args.Value();
    if (!text || text[0] == '\0') return Usage("--metrics-token-file needs a file");
    options.metrics.tokenFile = text;
  } else {
    return -1;
  }
  return 0;
}

int ParseSeconds(ArgCursor& args, Options& options) {
  const char* text = args.Value();
  char* end = nullptr;
  options.seconds = text ? std::strtol(text, &end, 10) : -1;
  if (!text || *end != '\0' || options.seconds < 0) return Usage("--seconds needs a number");
  return 0;
}

int ParseWatchedInterface(ArgCursor& args, Options& options) {
  const char* text = args.Value();
  if (!text || text[0] == '\0') return Usage("--interface needs a name or an address");
  options.interfaceText = text;
  return 0;
}

int ParseRecordOption(const std::string& arg, ArgCursor& args, Options& options) {
  if (arg == "--program") {
    const char* text = args.Value();
    if (!text || text[0] == '\0') return Usage("--program needs a program's name");
    options.program = text;
    return 0;
  }
  if (arg == "--seconds") return ParseSeconds(args, options);
  if (arg == "--interface") return ParseWatchedInterface(args, options);
  if (!arg.empty() && arg[0] != '-' && options.file.empty()) {
    options.file = arg;
    return 0;
  }
  return Usage(("unknown option " + arg).c_str());
}

// The options only watch (and top) take; -1 when `arg` is none of them.
int ParseWatchOption(const std::string& arg, ArgCursor& args, Options& options) {
  if (arg == "--interface") {
    return ParseWatchedInterface(args, options);
  } else if (arg == "--no-history") {
    options.history = false;
  } else if (arg == "--format" && options.command == "watch") {
    const char* text = args.Value();
    auto format = text ? ParseWatchFormat(text) : std::nullopt;
    if (!format) return Usage("--format needs text or jsonl");
    options.watchFormat = *format;
  } else if (arg == "--seconds") {
    return ParseSeconds(args, options);
  } else {
    return ParseMetricsOption(arg, args, options);
  }
  return 0;
}

// The options of replay, watch and top.
int ParseCaptureOption(const std::string& arg, ArgCursor& args, Options& options) {
  if (arg == "--proxy") {
    const char* text = args.Value();
    if (!text || std::strrchr(text, ':') == nullptr || text[0] == ':') {
      return Usage("--proxy needs HOST:PORT");
    }
    options.proxy = text;
    return 0;
  }
  if (arg == "--save-log") {
    options.saveLogs = true;
    // The directory is optional: a following option is not one.
    if (args.i + 1 < args.argc && args.argv[args.i + 1][0] != '-') {
      if (args.argv[args.i + 1][0] == '\0') return Usage("--save-log needs a directory");
      options.logDirectory = args.argv[++args.i];
    }
    return 0;
  }
  const int own = options.command == "replay" ? ParseReplayOption(arg, args, options)
                                               : ParseWatchOption(arg, args, options);
  if (own >= 0) return own;
  if (arg == "--interface") {
    const char* text = args.Value();
    if (!text) return Usage("--interface needs an address");
    options.interfaceAddress = ParseDotted(text);
    if (!options.interfaceAddress) return Usage("--interface needs a dotted IPv4 address");
  } else if (arg == "--flows") {
    options.flows = true;
  } else if (arg == "--filters") {
    const char* text = args.Value();
    if (!text) return Usage("--filters needs a file");
    options.filterFile = text;
  } else if (arg == "--resolve") {
    options.resolve = true;
  } else {
    return Usage(("unknown option " + arg).c_str());
  }
  return 0;
}

// The combinations no single option can refuse.
int CheckCombinations(const Options& options) {
  if (options.command == "replay" && !options.interfaceAddress && options.localAddresses.empty()) {
    return Usage("replay needs --interface or --local");
  }
  if (options.command == "record" && (options.program.empty() || options.file.empty())) {
    return Usage("record needs --program NAME and a FILE.pcapng");
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

}  // namespace

const char* const kUsage =
    "usage:\n"
    "  corvane-cli replay FILE (--interface A.B.C.D | --local ADDR)... [--mask A.B.C.D]\n"
    "                    [--prefix ADDR/LEN]... [--hide-lan] [--flows] [--owners FILE]\n"
    "                    [--history]\n"
    "  corvane-cli watch [--interface NAME|ADDRESS] [--seconds N] [--flows] [--no-history]\n"
    "                    [--metrics-file PATH] [--metrics-interval N]\n"
    "                    [--metrics-listen [ADDR:]PORT] [--metrics-token-file FILE]\n"
    "                    [--format text|jsonl]\n"
    "  corvane-cli top [--interface NAME|ADDRESS] [--seconds N] [--no-history]\n"
    "  corvane-cli record --program NAME [--interface NAME|ADDRESS] [--seconds N] FILE.pcapng\n"
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
    "top: the live traffic by program or by remote host, full screen; keys: g program\n"
    "  or host, d u t n sort by download rate, upload rate, total or name, / filter,\n"
    "  p pause, q quit. It takes the options of watch but --format; without a\n"
    "  terminal it prints what watch prints.\n"
    "options of record:\n"
    "  --program NAME    write the datagrams of this program (its name without\n"
    "                    \":pid\") into FILE.pcapng, a new file only the user may read;\n"
    "                    each packet's comment names its program as name:pid\n"
    "  --seconds N       stop after N seconds (else at Ctrl-C)\n"
    "options of replay, watch and top:\n"
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
int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "corvane-cli: %s\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

int ParseOptions(int argc, char** argv, Options& options) {
  if (argc < 2) return Usage(nullptr);
  options.command = argv[1];
  if (options.command != "replay" && options.command != "watch" && options.command != "logs" &&
      options.command != "interfaces" && options.command != "report" &&
      options.command != "top" && options.command != "record") {
    return Usage("unknown command");
  }
  options.history = options.command == "watch" || options.command == "top";
  ArgCursor args{argc, argv, 2};
  if (options.command == "logs" && argc >= 3 && argv[2][0] != '-') {
    options.logDirectory = argv[2];
    args.i = 3;
  }
  if (options.command == "replay") {
    if (argc < 3 || argv[2][0] == '-') return Usage("replay needs a capture file");
    options.file = argv[2];
    args.i = 3;
  }
  for (; args.i < argc; ++args.i) {
    const std::string arg = argv[args.i];
    int code = 0;
    if (arg == "--data-dir") {
      const char* text = args.Value();
      if (!text || text[0] == '\0') return Usage("--data-dir needs a directory");
      options.dataDir = text;
    } else if (options.command == "interfaces") {
      code = Usage(("unknown option " + arg).c_str());
    } else if (options.command == "report") {
      code = ParseReportOption(arg, args, options);
    } else if (options.command == "logs") {
      code = ParseLogsOption(arg, args, options);
    } else if (options.command == "record") {
      code = ParseRecordOption(arg, args, options);
    } else {
      code = ParseCaptureOption(arg, args, options);
    }
    if (code != 0) return code;
  }
  return CheckCombinations(options);
}

}  // namespace corvane
