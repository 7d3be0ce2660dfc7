#include "ui/list_actions.h"

#include <QStringList>
#include <algorithm>

QString RowsAsText(const std::vector<corvane::RowCells>& rows) {
  QString text;
  for (const corvane::RowCells& cells : rows) {
    QStringList line;
    for (const std::string& cell : cells) line << QString::fromStdString(cell);
    text += line.join(QLatin1Char('\t')) + QLatin1Char('\n');
  }
  return text;
}

bool RowMatchesQuickFilter(const corvane::RowCells& cells, const QString& needle) {
  if (needle.isEmpty()) return true;
  return std::any_of(cells.begin(), cells.end(), [&](const std::string& cell) {
    return QString::fromStdString(cell).contains(needle, Qt::CaseInsensitive);
  });
}

corvane::FilterRule HostRule(const corvane::RowCells& cells) {
  const std::string& host = cells[corvane::kColumnRemoteHost];
  return {host.empty() ? cells[corvane::kColumnRemoteIp] : host, std::string(corvane::kAnyText)};
}

corvane::FilterRule ProgramRule(const corvane::RowCells& cells) {
  std::string source = cells[corvane::kColumnLocalSource];
  // "firefox-esr:2817" -> "firefox-esr:"; a protocol label has no pid.
  const size_t colon = source.rfind(':');
  if (colon != std::string::npos &&
      std::all_of(source.begin() + static_cast<std::ptrdiff_t>(colon) + 1, source.end(),
                  [](char c) { return c >= '0' && c <= '9'; }) &&
      colon + 1 < source.size()) {
    source.resize(colon + 1);
  }
  return {std::string(corvane::kAnyText), source};
}

std::optional<QString> AddHideRules(const std::string& filterFile,
                                    const std::vector<corvane::FilterRule>& rules,
                                    std::vector<corvane::FilterRule>* added) {
  corvane::FilterLoadResult loaded = corvane::LoadFilterSet(filterFile);
  if (loaded.status == corvane::FilterLoadStatus::Unreadable) {
    return QStringLiteral("No rule was added: %1").arg(QString::fromStdString(loaded.read.reason));
  }
  if (loaded.status == corvane::FilterLoadStatus::Loaded &&
      loaded.filters.mode == corvane::FilterMode::WhiteList) {
    return QStringLiteral(
        "The filters are a white list, which shows only the flows its rules match. Switch them "
        "to a black list in Options > Setup filters to hide flows.");
  }
  // The Filters dialog shows the file's last rule on top, where it puts a
  // new rule too: new rules go at the end of the file.
  std::vector<corvane::FilterRule> rows = loaded.filters.rules;
  for (const corvane::FilterRule& rule : rules) {
    const bool known = std::any_of(rows.begin(), rows.end(), [&](const corvane::FilterRule& r) {
      return r.remoteHost == rule.remoteHost && r.localSource == rule.localSource;
    });
    if (known) continue;
    rows.push_back(rule);
    if (added) added->push_back(rule);
  }
  if (!corvane::WriteFilterFile(filterFile, corvane::FilterMode::BlackList, rows)) {
    if (added) added->clear();
    return QStringLiteral("Can't write to %1").arg(QString::fromStdString(filterFile));
  }
  return std::nullopt;
}

std::optional<QString> RemoveHideRules(const std::string& filterFile,
                                       const std::vector<corvane::FilterRule>& rules) {
  corvane::FilterLoadResult loaded = corvane::LoadFilterSet(filterFile);
  if (loaded.status == corvane::FilterLoadStatus::Unreadable) {
    return QStringLiteral("The rule was not removed: %1")
        .arg(QString::fromStdString(loaded.read.reason));
  }
  if (loaded.status != corvane::FilterLoadStatus::Loaded) return std::nullopt;
  std::vector<corvane::FilterRule> rows = loaded.filters.rules;
  std::erase_if(rows, [&](const corvane::FilterRule& r) {
    return std::any_of(rules.begin(), rules.end(), [&](const corvane::FilterRule& rule) {
      return r.remoteHost == rule.remoteHost && r.localSource == rule.localSource;
    });
  });
  if (!corvane::WriteFilterFile(filterFile, loaded.filters.mode, rows)) {
    return QStringLiteral("Can't write to %1").arg(QString::fromStdString(filterFile));
  }
  return std::nullopt;
}
