// Exports of the traffic list and of traffic logs as CSV or JSON, for
// spreadsheets and scripts: one record per row with the remote address and
// host, the downloaded, uploaded and total bytes as whole numbers, the local
// source ("name:pid" or a protocol label) and the first and last activity in
// ISO 8601 UTC ("2026-12-07T19:13:00Z"; empty in CSV and null in JSON when
// the row has no such time).
//
// Rows of the live list are exported with their exact counts and times. A
// traffic log holds only the texts it shows (byte counts rounded to two
// decimals of KB, MB, GB or TB, times to the second in the local time of the
// machine), so a log's export carries that precision: "1.23 KB" becomes 1259
// (the whole bytes the text stands for), and times are read in the local
// time zone of the exporting machine.
//
// Pure functions apart from the local time zone (logs) and the file written
// by WriteExportFile; any thread. Failures are values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "vocabulary/rows.h"

namespace corvane {

enum class ExportFormat { kCsv, kJson };

// "csv" or "json".
std::optional<ExportFormat> ParseExportFormat(std::string_view text);
// ".csv" or ".json".
const char* ExportSuffix(ExportFormat format);

// The format a file name asks for by its suffix (".csv" or ".json", in any
// case), or nullopt for any other name.
std::optional<ExportFormat> ExportFormatOfPath(std::string_view path);

struct ExportRow {
  std::string remoteAddress;
  std::string remoteHost;
  std::string localSource;
  RowValues values;  // times of 0 are unknown
};

// A row of the live list: its texts and its exact numbers.
ExportRow ExportRowOf(const RowCells& cells, const RowValues& values);
// A row read from a traffic log: the numbers its texts show.
ExportRow ExportRowOfLog(const RowCells& cells);

// CSV: a header line, then one line per row, lines ending in CR LF (RFC
// 4180). JSON: an array of one object per row.
std::string FormatExport(const std::vector<ExportRow>& rows, ExportFormat format);

// Writes the export of `rows` to `path`, readable by its owner only
// (replacing a file there in one step, so a reader never sees a part).
Status WriteExportFile(const std::string& path, const std::vector<ExportRow>& rows,
                       ExportFormat format);

}  // namespace corvane
