#include "ui/ProgramRecording.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QStandardPaths>

namespace {

QString Shown(const std::string& text) { return QString::fromStdString(text); }

// A program's name as part of a file name: no folder separator, no hidden
// file, no control character.
QString FileNamePart(const std::string& program) {
  QString name = QString::fromStdString(program);
  for (QChar& c : name) {
    if (c == QLatin1Char('/') || c.category() == QChar::Other_Control) c = QLatin1Char('_');
  }
  while (name.startsWith(QLatin1Char('.'))) name.remove(0, 1);
  return name.isEmpty() ? QStringLiteral("program") : name;
}

}  // namespace

ProgramRecording::ProgramRecording(corvane::Monitor& monitor, QObject* parent)
    : QObject(parent), monitor_(monitor) {
  flushTimer_.setInterval(1000);
  connect(&flushTimer_, &QTimer::timeout, this, &ProgramRecording::Flush);
}

ProgramRecording::~ProgramRecording() { (void)Finish(); }

QString ProgramRecording::EntryText() const {
  if (!running()) return QStringLiteral("Record this program's traffic...");
  QString name = Shown(program_);
  name.replace(QLatin1Char('&'), QStringLiteral("&&"));
  return QStringLiteral("Stop recording %1").arg(name);
}

corvane::Status ProgramRecording::Start(const std::string& program, const std::string& path) {
  if (running()) return corvane::Status::Failed("Already recording " + program_);
  auto recorder = std::make_unique<corvane::ProgramRecorder>(monitor_, program);
  if (corvane::Status created =
          recorder->Create(path, monitor_.interfaceName(), "Corvane " CORVANE_VERSION);
      !created) {
    return created;
  }
  recorder_ = std::move(recorder);
  program_ = program;
  path_ = QFile::decodeName(QByteArray::fromStdString(path));
  monitor_.SetDatagramObserver(recorder_->Observer());
  flushTimer_.start();
  emit progress(QStringLiteral("Recording %1 to %2 \u2014 0 packets").arg(Shown(program_), path_));
  return {};
}

void ProgramRecording::Flush() {
  if (!running()) return;
  if (corvane::Status written = recorder_->Flush(); !written) {
    const QString name = Shown(program_);
    (void)Finish();
    emit failed(QStringLiteral("Recording %1 stopped: %2").arg(name, Shown(written.reason)));
    return;
  }
  // One arg() for all: a "%3" in a name is not replaced.
  emit progress(QStringLiteral("Recording %1 to %2 \u2014 %3 packets")
                    .arg(Shown(program_), path_, QString::number(recorder_->written())));
}

corvane::Status ProgramRecording::Finish() {
  if (!running()) return {};
  flushTimer_.stop();
  // The capture thread is out of the observer once this returns.
  monitor_.SetDatagramObserver(nullptr);
  const corvane::Status finished = recorder_->Finish();
  written_ = recorder_->written();
  recorder_.reset();
  program_.clear();
  return finished;
}

QString ProgramRecording::Stop() {
  if (!running()) return QString();
  const QString name = Shown(program_);
  if (const corvane::Status finished = Finish(); !finished) {
    return QStringLiteral("Recording %1 to %2 failed: %3")
        .arg(name, path_, Shown(finished.reason));
  }
  return QStringLiteral("Recorded %1 packets of %2 to %3")
      .arg(QString::number(written_), name, path_);
}

std::optional<std::string> ProgramRecording::AskTarget(QWidget* parent,
                                                       const std::string& program) {
  QFileDialog dialog(parent, QStringLiteral("Record %1's traffic").arg(Shown(program)));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // The recording never replaces a file: one that exists is refused with
  // its reason, rather than asked about here.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (folder.isEmpty() || !QDir(folder).exists()) folder = QDir::homePath();
  dialog.setDirectory(folder);
  dialog.setNameFilters({QStringLiteral("pcapng (*.pcapng)")});
  dialog.setDefaultSuffix(QStringLiteral("pcapng"));
  const QString now =
      QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
  dialog.selectFile(QStringLiteral("%1-%2.pcapng").arg(FileNamePart(program), now));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return QFile::encodeName(dialog.selectedFiles().first()).toStdString();
}
