// The texts of a history report (corvane-cli report): the grouping and
// format names, UTC dates in and out, and the report as a table, CSV or
// JSON. Byte counts are written as whole numbers, times in ISO 8601 UTC.
//
// Pure functions; any thread. Texts that do not parse give nullopt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/history_store.h"

namespace corvane {

enum class ReportFormat { kTable, kCsv, kJson };

// "app", "host", "remote", "day", "month".
const char* GroupingName(HistoryGrouping grouping);
std::optional<HistoryGrouping> ParseGrouping(std::string_view text);
// "table", "csv", "json".
std::optional<ReportFormat> ParseReportFormat(std::string_view text);

// "YYYY-MM-DD" (that day's start, or with `dayEnd` the next day's start, so
// that an end date includes its day) or "YYYY-MM-DDTHH:MM:SSZ", UTC, as
// epoch seconds.
std::optional<int64_t> ParseUtcTime(std::string_view text, bool dayEnd = false);
// "YYYY-MM-DDTHH:MM:SSZ".
std::string FormatUtcTime(int64_t seconds);

// The report of `totals`, grouped by `grouping`, over [since, until) where
// an absent bound is open. Table: a column for the key, then sent, received
// and total bytes, right-aligned. CSV: a header line, then one line per
// total. JSON: one object with "by", "since", "until" (null when open) and
// "rows".
std::string FormatHistoryReport(const std::vector<HistoryTotal>& totals, HistoryGrouping grouping,
                                ReportFormat format, std::optional<int64_t> since,
                                std::optional<int64_t> until);

}  // namespace corvane
