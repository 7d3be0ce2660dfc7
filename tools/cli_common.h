// What several corvane-cli commands share around their Monitor: the data
// folders, the set-up of filters, names, proxy and logs, and the lists and
// totals they print. Messages go to stderr as "corvane-cli: REASON".
#pragma once

#include <string>

#include "engine/monitor.h"
#include "tools/cli_options.h"

namespace corvane {

// Resolves and creates the data folders; false (after a message) when the
// run must end.
bool PrepareDataFolders(Options& options);
// False after a message when --save-log's folder cannot take files.
bool LogFolderReady(const Options& options);
// Applies --filters and --resolve; false when the filter file can't be read.
bool SetUpFiltersAndNames(const Options& options, Monitor& monitor, bool loadNow);
// --proxy and --save-log; false (after a message) when the proxy has no address.
bool Configure(const Options& options, Monitor& monitor);
// With --save-log: the final Save & Clear; false when the log was not written.
bool SaveAtEnd(const Options& options, Monitor& monitor);

// The list, a line per row.
void PrintList(Monitor& monitor, std::string& out);
// "ADDRESS DOWNLOAD UPLOAD" per remote address.
void AppendFlowTotals(Monitor& monitor, std::string& out);
// "totals DOWNLOAD UPLOAD".
void AppendTotals(Monitor& monitor, std::string& out);

}  // namespace corvane
