#include "ui/export_dialog.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QStandardPaths>

#include "storage/traffic_log.h"

namespace {

const QString kCsvFilter = QStringLiteral("CSV (*.csv)");
const QString kJsonFilter = QStringLiteral("JSON (*.json)");

corvane::ExportFormat FormatOfFilter(const QString& filter) {
  return filter == kJsonFilter ? corvane::ExportFormat::kJson : corvane::ExportFormat::kCsv;
}

}  // namespace

std::optional<ExportTarget> AskExportTarget(QWidget* parent, const QString& caption) {
  QFileDialog dialog(parent, caption);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // corvane-YYYY-MM-DD.csv in Documents (the home folder where there is none).
  QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (folder.isEmpty() || !QDir(folder).exists()) folder = QDir::homePath();
  dialog.setDirectory(folder);
  dialog.setNameFilters({kCsvFilter, kJsonFilter});
  dialog.selectNameFilter(kCsvFilter);
  dialog.selectFile(QStringLiteral("corvane-%1.csv")
                        .arg(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))));
  // The dialog adds the suffix to a bare name itself, so that its question
  // about replacing a file asks about the file that will be written.
  dialog.setDefaultSuffix(QStringLiteral("csv"));
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
    dialog.setDefaultSuffix(
        QString::fromLatin1(corvane::ExportSuffix(FormatOfFilter(filter))).mid(1));
  });
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  ExportTarget target;
  target.path = QFile::encodeName(dialog.selectedFiles().first()).toStdString();
  target.format = corvane::ExportFormatOfPath(target.path)
                      .value_or(FormatOfFilter(dialog.selectedNameFilter()));
  return target;
}

QString ExportFailureText(const std::string& path, const std::string& reason) {
  return QString::fromStdString(corvane::CantWriteMessage(path) + ": " + reason);
}
