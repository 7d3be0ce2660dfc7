// corvane-cli: the monitor without a window. Replays capture files through
// the same accounting and processing code as the window, or watches live
// traffic and prints the traffic list every second (or a JSON line for each
// row as it appears or changes, see tools/watch_output.h), or shows it full
// screen by program or host (top), or records one program's datagrams
// (record), or lists the network interfaces, or reports from the traffic
// history. Each command is in its
// own file (tools/cmd_*.cpp); the options are parsed in tools/cli_options.cpp.
//
// Its files are the window's: set.dat and filters.dat in the configuration
// folder, traffic logs in the log folder, history.sqlite in the state folder
// (see platform/data_folders.h); --data-dir DIR or CORVANE_DATA_DIR keeps all
// of them in DIR.
#include <cstdio>
#include <cstring>

#include "tools/cli_common.h"
#include "tools/cli_options.h"
#include "tools/commands.h"

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
  if (options.command == "top") return corvane::RunTop(options);
  if (options.command == "record") return corvane::RunRecord(options);
  return corvane::RunWatch(options);
}
