// Traffic logs: one text file per saved monitoring period in the program's
// directory, one line per row of the traffic list.
//
// A line is the row's eight cells as blank-separated tokens, each blank (and
// any other white space or control character) inside a cell written as "_",
// an empty cell as "_". Reading turns "_" back into a blank in tokens 3 to 8
// ("DL" to "Last activity"); tokens 1 and 2 are shown as read. A log is
// named after the moment of its saving, "2005-03-01_09t05t07.log", which the
// Logs dialog shows as "2005-03-01 09:05:07".
//
// Any thread. Failures are values: the path that could not be written, the
// files that could not be removed. Nothing here reports to the user.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "vocabulary/rows.h"

namespace corvane {

class Clock;

inline constexpr const char* kLogSuffix = ".log";
inline constexpr const char* kNoLogsEntry = "<No logs available>";
inline constexpr const char* kSelectLogEntry = "<Select a log!>";

// The message for a log (or any data file) that could not be written.
std::string CantWriteMessage(const std::string& path);

// One log found in the directory.
struct LogChoice {
  std::string fileName;     // as found, without directory
  std::string displayName;  // LogDisplayName(fileName)
  bool operator==(const LogChoice&) const = default;
};

// The file name cut to 99 characters, "_" made a blank, every "t" a ":",
// ending before the first ".".
std::string LogDisplayName(std::string_view fileName);

// "YYYY-MM-DD_HHtMMtSS" in local time, without ".log".
std::string LogBaseName(int64_t seconds);

// Writes `rows` (one line each, in order, as FormatRowLine makes them) to a new log in `directory`,
// named after `now` in local time; when that name is taken, "-2", "-3", ...
// is added before ".log". The file is written under a temporary name,
// readable by its owner only, and takes its name only when complete.
// `savedPath`, when given, receives the path written. A failure's reason is
// CantWriteMessage() of the path that could not be written, as the user
// reads it, and its code the system's error number.
Status SaveTrafficLog(const std::string& directory, const std::vector<RowCells>& rows, int64_t now,
                      std::string* savedPath = nullptr);

// A Monitor::LogWriter that saves into `directory` at the time of `clock`
// (which must outlive it).
std::function<Status(const std::vector<RowCells>&)> TrafficLogWriter(std::string directory,
                                                                     const Clock& clock);

// Whether `fileName` is a name SaveTrafficLog gives: "YYYY-MM-DD_HHtMMtSS",
// optionally "-N", then ".log". Other "*.log" files sharing the folder are
// not traffic logs.
bool IsTrafficLogName(std::string_view fileName);

// Every regular file of `directory` with a traffic log's name, sorted by
// file name.
std::vector<LogChoice> ListLogs(const std::string& directory);

// The rows of a log's text in file order. Every line makes a row, whatever
// its length; a line with fewer than eight tokens leaves the missing cells
// empty, tokens beyond the eighth are ignored. Lines may end in LF or CR LF.
std::vector<RowCells> ParseTrafficLog(std::string_view text);

// The rows of the log file at `path`, or nullopt when it cannot be read.
std::optional<std::vector<RowCells>> ReadTrafficLog(const std::string& path);

// What the Logs dialog shows for the selector entry `displayName`: the rows
// of every log with that display name, in `choices` order, each line
// inserted at the top, so top to bottom the result is the last line of the
// last matching log first. Logs that cannot be read are skipped. Placeholder
// entries (beginning with "<") show nothing.
std::vector<RowCells> RowsForDisplayName(const std::string& directory,
                                         const std::vector<LogChoice>& choices,
                                         std::string_view displayName);

struct DeleteLogsResult {
  int removed = 0;
  std::vector<std::string> failures;  // one reason per file that stayed
};

// Removes every log that ListLogs finds, and nothing else.
DeleteLogsResult DeleteAllLogs(const std::string& directory);

}  // namespace corvane
