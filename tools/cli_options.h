// The command line of corvane-cli: its usage text and the options of every
// command, parsed in one place so that each command's file only runs it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/data_folders.h"
#include "platform/ip_address.h"
#include "storage/export_format.h"
#include "storage/history_report.h"
#include "tools/metrics_publisher.h"
#include "tools/watch_output.h"

namespace corvane {

// What --help prints (and an error, after its message, on stderr).
extern const char* const kUsage;

struct Options {
  std::string command;
  std::string file;  // replay's capture file, record's new file
  std::optional<uint32_t> interfaceAddress;
  std::string interfaceText;  // watch, top, record: a name or an address
  uint32_t mask = 0xffffffffu;
  std::vector<IpAddress> localAddresses;  // replay: --local
  std::vector<IpPrefix> prefixes;         // replay: --prefix
  std::string ownersFile;                 // replay: --owners
  std::string program;                    // record: --program
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

// Prints `problem` (when given) and the usage on stderr; returns exit code 2.
int Usage(const char* problem);

// Returns 0 when parsed, else the exit code (after a message on stderr).
int ParseOptions(int argc, char** argv, Options& options);

}  // namespace corvane
