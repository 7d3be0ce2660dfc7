#include "storage/export_format.h"

#include "platform/file_io.h"
#include "storage/csv_json.h"
#include "storage/history_report.h"

namespace corvane {

namespace {

constexpr const char* kFieldNames[] = {
    "remote_address", "remote_host",  "downloaded_bytes", "uploaded_bytes",
    "total_bytes",    "local_source", "first_activity",   "last_activity",
};

std::string TimeText(int64_t seconds) { return seconds == 0 ? std::string() : FormatUtcTime(seconds); }

std::string JsonTime(int64_t seconds) {
  return seconds == 0 ? std::string("null") : '"' + FormatUtcTime(seconds) + '"';
}

bool EndsWithFolded(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  text.remove_prefix(text.size() - suffix.size());
  for (size_t i = 0; i < suffix.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != suffix[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<ExportFormat> ParseExportFormat(std::string_view text) {
  if (text == "csv") return ExportFormat::kCsv;
  if (text == "json") return ExportFormat::kJson;
  return std::nullopt;
}

const char* ExportSuffix(ExportFormat format) {
  return format == ExportFormat::kJson ? ".json" : ".csv";
}

std::optional<ExportFormat> ExportFormatOfPath(std::string_view path) {
  for (ExportFormat format : {ExportFormat::kCsv, ExportFormat::kJson}) {
    if (EndsWithFolded(path, ExportSuffix(format))) return format;
  }
  return std::nullopt;
}

ExportRow ExportRowOf(const RowCells& cells, const RowValues& values) {
  return ExportRow{cells[kColumnRemoteIp], cells[kColumnRemoteHost], cells[kColumnLocalSource],
                   values};
}

ExportRow ExportRowOfLog(const RowCells& cells) { return ExportRowOf(cells, ValuesOfCells(cells)); }

std::string FormatExport(const std::vector<ExportRow>& rows, ExportFormat format) {
  std::string out;
  out.reserve(rows.size() * 160 + 160);
  if (format == ExportFormat::kCsv) {
    for (const char* name : kFieldNames) {
      if (name != kFieldNames[0]) out += ',';
      out += name;
    }
    out += "\r\n";
    for (const ExportRow& row : rows) {
      const RowValues& v = row.values;
      out += CsvField(row.remoteAddress) + ',' + CsvField(row.remoteHost) + ',' +
             std::to_string(v.downloadBytes) + ',' + std::to_string(v.uploadBytes) + ',' +
             std::to_string(v.downloadBytes + v.uploadBytes) + ',' + CsvField(row.localSource) +
             ',' + TimeText(v.firstActivity) + ',' + TimeText(v.lastActivity) + "\r\n";
    }
    return out;
  }
  out += '[';
  for (size_t i = 0; i < rows.size(); ++i) {
    const ExportRow& row = rows[i];
    const RowValues& v = row.values;
    const std::string values[] = {
        JsonString(row.remoteAddress),
        JsonString(row.remoteHost),
        std::to_string(v.downloadBytes),
        std::to_string(v.uploadBytes),
        std::to_string(v.downloadBytes + v.uploadBytes),
        JsonString(row.localSource),
        JsonTime(v.firstActivity),
        JsonTime(v.lastActivity),
    };
    out += i ? ",\n{" : "\n{";
    for (size_t field = 0; field < std::size(kFieldNames); ++field) {
      if (field) out += ',';
      out += '"';
      out += kFieldNames[field];
      out += "\":";
      out += values[field];
    }
    out += '}';
  }
  out += rows.empty() ? "]\n" : "\n]\n";
  return out;
}

Status WriteExportFile(const std::string& path, const std::vector<ExportRow>& rows,
                       ExportFormat format) {
  PublishOptions options;
  options.ownerOnly = true;  // like a traffic log, it is the user's browsing history
  return PublishFile(path, FormatExport(rows, format), options);
}

}  // namespace corvane
