// The commands of corvane-cli, each in its own file (cmd_NAME.cpp). Each
// runs with its parsed options and returns the program's exit code, after
// a message on stderr when it is not 0.
#pragma once

#include <string>

#include "engine/monitor.h"
#include "tools/cli_options.h"

namespace corvane {

int RunReplay(const Options& options);
int RunWatch(const Options& options);
// Falls back to RunWatch without a terminal.
int RunTop(const Options& options);
int RunRecord(const Options& options);
int RunInterfaces();
int RunLogs(const Options& options);
int RunReport(const Options& options);

}  // namespace corvane
