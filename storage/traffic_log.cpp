#include "storage/traffic_log.h"

#include <algorithm>
#include <cstdio>

#include "vocabulary/text_format.h"
#include "platform/clock.h"
#include "platform/file_io.h"

namespace corvane {

namespace {

// Names tried for one saving moment before giving up.
constexpr int kMaxNameAttempts = 1000;
constexpr size_t kMaxDisplaySource = 99;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

void ParseLine(std::string_view line, RowCells& cells) {
  size_t at = 0;
  for (int token = 0; token < kColumnCount; ++token) {
    while (at < line.size() && IsSpace(line[at])) ++at;
    if (at == line.size()) break;
    size_t start = at;
    while (at < line.size() && !IsSpace(line[at])) ++at;
    // A log may hold what an older version wrote, or what someone else put
    // in the folder: it is read back clean.
    std::string& cell = cells[token];
    cell = SanitizeNetworkText(line.substr(start, at - start));
    if (token >= kColumnDownload) {
      for (char& c : cell) {
        if (c == '_') c = ' ';
      }
    }
  }
}

}  // namespace

std::string CantWriteMessage(const std::string& path) { return "Can't write to " + path; }

std::string LogDisplayName(std::string_view fileName) {
  std::string name(fileName.substr(0, kMaxDisplaySource));
  if (size_t dot = name.find('.'); dot != std::string::npos) name.resize(dot);
  for (char& c : name) {
    if (c == '_') {
      c = ' ';
    } else if (c == 't') {
      c = ':';
    }
  }
  return name;
}

std::string LogBaseName(int64_t seconds) {
  LocalTime t = ToLocalTime(seconds);
  char name[64];
  std::snprintf(name, sizeof name, "%04d-%02d-%02d_%02dt%02dt%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return name;
}

Status SaveTrafficLog(const std::string& directory, const std::vector<RowCells>& rows, int64_t now,
                      std::string* savedPath) {
  std::string content;
  content.reserve(rows.size() * 128);
  for (const RowCells& row : rows) {
    content += FormatRowLine(row);
    content += '\n';
  }
  const std::string base = LogBaseName(now);
  PublishOptions options;
  options.ownerOnly = true;  // the log is the user's browsing history
  options.keepExisting = true;
  std::string path = JoinPath(directory, base + kLogSuffix);
  for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
    // "-2" keeps the display rule intact: no "." before ".log", no "t".
    if (attempt > 1) {
      path = JoinPath(directory, base + "-" + std::to_string(attempt) + kLogSuffix);
    }
    const Status written = PublishFile(path, content, options);
    if (written) {
      if (savedPath) *savedPath = path;
      return Status::Ok();
    }
    if (written.Exists()) continue;  // every name for this moment may be taken
    return Status::Failed(CantWriteMessage(path), written.code);
  }
  return Status::Failed(CantWriteMessage(JoinPath(directory, base + kLogSuffix)), EEXIST);
}

std::function<Status(const std::vector<RowCells>&)> TrafficLogWriter(std::string directory,
                                                                     const Clock& clock) {
  return [directory = std::move(directory), &clock](const std::vector<RowCells>& rows) {
    return SaveTrafficLog(directory, rows, clock.Now());
  };
}

bool IsTrafficLogName(std::string_view fileName) {
  constexpr std::string_view kShape = "0000-00-00_00t00t00";
  if (!fileName.ends_with(kLogSuffix)) return false;
  fileName.remove_suffix(std::string_view(kLogSuffix).size());
  if (fileName.size() < kShape.size()) return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = fileName[i] >= '0' && fileName[i] <= '9';
    if (kShape[i] == '0' ? !digit : fileName[i] != kShape[i]) return false;
  }
  std::string_view counter = fileName.substr(kShape.size());
  if (counter.empty()) return true;
  if (counter.size() < 2 || counter.front() != '-') return false;
  counter.remove_prefix(1);
  return std::all_of(counter.begin(), counter.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<LogChoice> ListLogs(const std::string& directory) {
  std::vector<LogChoice> choices;
  for (std::string& name : ListFilesEndingWith(directory.empty() ? "." : directory, kLogSuffix)) {
    if (!IsTrafficLogName(name)) continue;
    std::string display = LogDisplayName(name);
    choices.push_back(LogChoice{std::move(name), std::move(display)});
  }
  return choices;
}

std::vector<RowCells> ParseTrafficLog(std::string_view text) {
  std::vector<RowCells> rows;
  rows.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    RowCells cells;
    ParseLine(text.substr(start, end - start), cells);
    rows.push_back(std::move(cells));
    start = end + 1;
  }
  return rows;
}

std::optional<std::vector<RowCells>> ReadTrafficLog(const std::string& path) {
  std::string content;
  if (!ReadFile(path, content)) return std::nullopt;
  return ParseTrafficLog(content);
}

std::vector<RowCells> RowsForDisplayName(const std::string& directory,
                                         const std::vector<LogChoice>& choices,
                                         std::string_view displayName) {
  std::vector<RowCells> shown;  // bottom to top while collecting
  if (displayName.starts_with("<")) return shown;
  for (const LogChoice& choice : choices) {
    if (choice.displayName != displayName) continue;
    auto rows = ReadTrafficLog(JoinPath(directory, choice.fileName));
    if (!rows) continue;
    for (RowCells& row : *rows) shown.push_back(std::move(row));
  }
  std::reverse(shown.begin(), shown.end());
  return shown;
}

DeleteLogsResult DeleteAllLogs(const std::string& directory) {
  DeleteLogsResult result;
  for (const LogChoice& choice : ListLogs(directory)) {
    if (Status removed = RemoveFile(JoinPath(directory, choice.fileName)); removed) {
      ++result.removed;
    } else {
      result.failures.push_back(removed.reason);
    }
  }
  return result;
}

}  // namespace corvane
