// The save dialog of the exports (File > "Export list...", the Logs
// dialog's "Export..."): where to write, and whether as CSV or JSON, and the
// message for an export that could not be written.
//
// Window thread only.
#pragma once

#include <QString>
#include <optional>
#include <string>

#include "storage/export_format.h"

class QWidget;

struct ExportTarget {
  std::string path;  // in the file system's encoding
  corvane::ExportFormat format = corvane::ExportFormat::kCsv;
};

// Asks for a file, starting in the home folder, with the filters
// "CSV (*.csv)" and "JSON (*.json)". A name ending in ".csv" or ".json"
// decides the format; any other name takes the chosen filter's format (and
// its suffix, when it has none). nullopt when the user cancels.
std::optional<ExportTarget> AskExportTarget(QWidget* parent, const QString& caption);

// "Can't write to PATH: REASON".
QString ExportFailureText(const std::string& path, const std::string& reason);
