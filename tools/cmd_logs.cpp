#include "tools/commands.h"

#include <cstdio>

#include "storage/export_format.h"
#include "storage/traffic_log.h"
#include "vocabulary/text_format.h"

namespace corvane {

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

}  // namespace corvane
