// The main window's commands: Save & Clear, recording, Export list, the
// logs, History, Options, Help, About and the ways the program ends.
#include "ui/CMainDlg.h"

#include <cstring>
#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

#include "storage/history_store.h"
#include "storage/traffic_log.h"
#include "ui/CAboutDlg.h"
#include "ui/CHistoryDlg.h"
#include "ui/CLogsDlg.h"
#include "ui/COptionsDlg.h"
#include "ui/GraphArea.h"
#include "ui/HelpWindow.h"
#include "ui/NewProgramNotices.h"
#include "ui/ProgramIcons.h"
#include "ui/ProgramRecording.h"
#include "ui/ListWorker.h"
#include "ui/colour_scheme.h"
#include "ui/TrafficModel.h"
#include "ui/export_dialog.h"
#include "ui/main_window_parts.h"

using namespace main_window;

namespace {

// The log that Save & Clear wrote into `folder`: the one not there `before`.
std::string NewLogIn(const std::string& folder, const std::vector<corvane::LogChoice>& before) {
  std::string newest;
  for (const corvane::LogChoice& log : corvane::ListLogs(folder)) {
    const bool known = std::any_of(before.begin(), before.end(), [&](const corvane::LogChoice& old) {
      return old.fileName == log.fileName;
    });
    if (!known) newest = folder + "/" + log.fileName;
  }
  return newest;
}

// The user's guide: beside the executable in a build tree, in the doc
// folder of an installed tree; HelpWindow falls back to the built-in copy.
QString HelpPagePath() {
  const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/cvhelp.html");
  if (QFileInfo::exists(beside)) return beside;
  return QCoreApplication::applicationDirPath() +
         QStringLiteral("/../share/doc/corvane/cvhelp.html");
}

const QString kFeedbackText = QStringLiteral(
    "We would like to hear what you think about Corvane, so please send us your comments, "
    "suggestions or problems you had using the program. Click 'Yes' to open our contact page.");

}  // namespace

// ---------------------------------------------------------------- commands

void CMainDlg::OnSaveAndClear() {
  // The log is written on the list's worker; the answer comes back here.
  corvane::Monitor* monitor = monitor_;
  const std::string logFolder = folders_.logs;
  listWork_->Post([this, monitor, logFolder] {
    const std::vector<corvane::LogChoice> before = corvane::ListLogs(logFolder);
    const corvane::Status saved = monitor->SaveAndClear();
    const std::string written = saved ? NewLogIn(logFolder, before) : std::string();
    QMetaObject::invokeMethod(this, [this, saved, written] {
      if (!saved) {
        ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                    QString::fromStdString(saved.reason), QMessageBox::Ok);
        return;
      }
      // The records of the clear are queued; show the empty list at once.
      model_->ApplyPending();
      if (!written.empty()) {
        ShowStatusNote(QStringLiteral("Saved the list to %1").arg(QString::fromStdString(written)));
      }
    }, Qt::QueuedConnection);
  });
}

void CMainDlg::OnRecordProgram(const std::string& program) {
  if (recording_->running()) {
    ShowStatusNote(recording_->Stop());
    return;
  }
  const std::optional<std::string> path = ProgramRecording::AskTarget(this, program);
  if (!path) return;
  if (corvane::Status started = recording_->Start(program, *path); !started) {
    ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                QStringLiteral("Can't record %1: %2")
                    .arg(QString::fromStdString(program), QString::fromStdString(started.reason)),
                QMessageBox::Ok);
  }
}

void CMainDlg::OnExportList() {
  if (auto target = AskExportTarget(this, QStringLiteral("Export list"))) {
    ExportList(target->path, target->format);
  }
}

void CMainDlg::ExportList(const std::string& path, corvane::ExportFormat format) {
  // Copied and written on the list's worker; a failure comes back here.
  const corvane::Monitor* monitor = monitor_;
  listWork_->Post([this, monitor, path, format] {
    std::vector<corvane::ExportRow> rows;
    {
      // Only the copy is made under the lock; the file is written after it.
      const corvane::TrafficList& list = monitor->list();
      corvane::TrafficList::ReadLock lock(list);
      rows.reserve(static_cast<size_t>(list.Count()));
      for (int row = 0; row < list.Count(); ++row) {
        rows.push_back(corvane::ExportRowOf(list.Cells(row), list.Values(row)));
      }
    }
    if (corvane::Status written = corvane::WriteExportFile(path, rows, format); !written) {
      const QString text = ExportFailureText(path, std::strerror(written.code));
      QMetaObject::invokeMethod(this, [this, text] {
        ShowMessage(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok);
      }, Qt::QueuedConnection);
    } else {
      const QString note = QStringLiteral("Exported %1 rows to %2")
                               .arg(rows.size())
                               .arg(QString::fromStdString(path));
      QMetaObject::invokeMethod(this, [this, note] { ShowStatusNote(note); }, Qt::QueuedConnection);
    }
  });
}

void CMainDlg::OnShowLog() {
  // Modal, without owner; its result is not used.
  CLogsDlg dialog(folders_.logs);
  dialog.exec();
}

CHistoryDlg* CMainDlg::historyDialog() const { return history_; }

void CMainDlg::OnHistory() {
  if (!history_) {
    history_ = new CHistoryDlg(folders_.history, monitor_->clock(), this);
    history_->setAttribute(Qt::WA_DeleteOnClose);
    history_->SetProgramIcons(icons_);
  } else {
    history_->Refresh();
  }
  history_->show();
  history_->raise();
  history_->activateWindow();
}

void CMainDlg::OnOptions() {
  COptionsDlg::Context context;
  context.settingsFile = folders_.config + "/" + corvane::kSettingsFileName;
  context.filterFile = monitor_->filterFile();
  context.monitoredInterface = monitor_->interfaceName();
  context.monitoredAddress = monitor_->settings().interfaceAddress.load();
  context.monitoredMask = monitor_->settings().interfaceMask.load();
  context.filtersConfirmed = [this] { monitor_->ReloadFilters(); };
  context.lookUpNames = lookUpNames_->load();
  QSettings preferences(LayoutFile(), QSettings::IniFormat);
  context.historyDays = HistoryDays(preferences);
  context.notifyNewPrograms = notices_->enabled();
  const ColourChoice colours = ColourChoiceOfName(preferences.value(kColoursKey).toString());
  context.colours = colours;
  context.usageDayMegabytes = preferences.value(kUsageDayKey, 0).toInt();
  context.usageHourMegabytes = preferences.value(kUsageHourKey, 0).toInt();
  COptionsDlg dialog(std::move(context));
  if (dialog.exec() != QDialog::Accepted) return;
  // Capture restarts only when the interface changed; the filters reload.
  // The new interface's addresses are known before its first datagram.
  const corvane::OptionsResult& result = dialog.optionsResult();
  if (!result.interfaceName.empty() && result.interfaceName != monitor_->interfaceName()) {
    // A recording names its interface: it ends with the capture there.
    if (recording_->running()) ShowStatusNote(recording_->Stop());
    ReportWatchFailure(session_.WatchAddressesOf(result.interfaceName));
  }
  monitor_->ApplyOptions(result);
  lookUpNames_->store(dialog.lookUpNames());
  notices_->SetEnabled(dialog.notifyNewPrograms());
  // The history's days apply from the next start, when the history opens.
  preferences.setValue(kLookUpNamesKey, dialog.lookUpNames());
  preferences.setValue(kHistoryDaysKey, dialog.historyDays());
  preferences.setValue(kNotifyNewProgramsKey, dialog.notifyNewPrograms());
  if (dialog.colours() != colours) {
    UseColours(dialog.colours());
    ShowCaptureStatus();
  }
  preferences.setValue(kColoursKey, ColourChoiceName(dialog.colours()));
  preferences.setValue(kUsageDayKey, dialog.usageDayMegabytes());
  preferences.setValue(kUsageHourKey, dialog.usageHourMegabytes());
  StartUsageAlerts(UsageBudgetOf(dialog.usageDayMegabytes(), dialog.usageHourMegabytes()));
  graph_->SetFrozen(monitor_->settings().freezeGraph.load());
}

void CMainDlg::OnDeleteAllLogs() {
  const size_t count = corvane::ListLogs(folders_.logs).size();
  const QString folder = QString::fromStdString(folders_.logs);
  if (count == 0) {
    ShowMessage(QMessageBox::Information, QStringLiteral("Delete all logs"),
                QStringLiteral("There are no traffic logs in %1.").arg(folder), QMessageBox::Ok);
    return;
  }
  const QString what = count == 1 ? QStringLiteral("the traffic log")
                                   : QStringLiteral("all %1 traffic logs").arg(count);
  // No is the default: Enter must never delete a history.
  const auto answer = ShowMessage(
      QMessageBox::Question, QStringLiteral("Delete all logs"),
      QStringLiteral("Delete %1 in %2? This cannot be undone.").arg(what, folder),
      QMessageBox::Yes | QMessageBox::No | QMessageBox::Default);
  if (answer != QMessageBox::Yes) return;
  const corvane::DeleteLogsResult result = corvane::DeleteAllLogs(folders_.logs);
  if (!result.failures.empty()) {
    QStringList failed;
    for (const auto& failure : result.failures) failed.push_back(QString::fromStdString(failure));
    ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                QStringLiteral("Can't delete %1").arg(failed.join(QStringLiteral("\n"))),
                QMessageBox::Ok);
  }
}

void CMainDlg::OnHelpTopics() {
  if (!help_) help_ = new HelpWindow(this);
  help_->ShowHelp(HelpPagePath());
}

void CMainDlg::OnAbout() {
  CAboutDlg about(folders_, this);
  about.exec();
}

bool CMainDlg::SaveRowsToLog() {
  {
    corvane::TrafficList::ReadLock lock(monitor_->list());
    if (monitor_->list().Count() == 0) return true;
  }
  return monitor_->SaveAndClear().ok;
}

void CMainDlg::Finish() {
  exiting_ = true;
  // Attribution, processing and capture end; their threads are joined,
  // which is prompt (every loop polls its flag at least every 100 ms).
  monitor_->Stop();
  if (recording_->running()) ShowStatusNote(recording_->Stop());
  listWork_->Wait();
  tick_.stop();
  if (tray_) tray_->hide();
  SaveLayout();
}

void CMainDlg::OnQuitSignal() {
  if (exiting_) return;
  Finish();
  // No one may be at the screen (a service stop, a shutdown): no boxes.
  if (!SaveRowsToLog()) std::fprintf(stderr, "corvane: could not save the rows to a traffic log\n");
  done(QDialog::Accepted);
}

void CMainDlg::OnCommitData() {
  // The session ends: the day's rows go to a log as Save & Clear writes
  // them, in case the session manager ends the program without Exit.
  if (exiting_) return;
  SaveRowsToLog();
  model_->ApplyPending();
}

void CMainDlg::OnExit() {
  if (exiting_) return;
  Finish();
  // The rows go to a traffic log, as Save & Clear writes them, so that no
  // count is lost; the next start begins a new list.
  while (!SaveRowsToLog()) {
    const auto retry = ShowMessage(
        QMessageBox::Critical, QStringLiteral("Error"),
        QStringLiteral("Can't write the traffic list to a log in %1. Try again?")
            .arg(QString::fromStdString(folders_.logs)),
        QMessageBox::Retry | QMessageBox::Discard);
    if (retry != QMessageBox::Retry) break;
  }
  if (AskForFeedback() == QMessageBox::Yes) {
    QString reason;
    if (!OpenLink(QStringLiteral(CORVANE_CONTACT_PAGE), &reason)) {
      ShowMessage(QMessageBox::Warning, QStringLiteral("Error"), reason, QMessageBox::Ok);
    }
  }
  done(QDialog::Accepted);
}

// The "Write us" question at Exit, unless the user said not to ask again.
QMessageBox::StandardButton CMainDlg::AskForFeedback() {
  QSettings preferences(LayoutFile(), QSettings::IniFormat);
  if (preferences.value(kFeedbackNotAgainKey, false).toBool()) return QMessageBox::No;
  bool notAgain = false;
  const QMessageBox::StandardButton answer = AskWriteUs(kFeedbackText, &notAgain);
  if (notAgain) {
    preferences.setValue(kFeedbackNotAgainKey, true);
    preferences.sync();
  }
  return answer;
}

QMessageBox::StandardButton CMainDlg::AskWriteUs(const QString& text, bool* dontAskAgain) {
  QMessageBox box(QMessageBox::Information, QStringLiteral("Write us"), text,
                  QMessageBox::Yes | QMessageBox::No);
  box.setTextFormat(Qt::PlainText);
  box.setWindowIcon(windowIcon());
  box.setDefaultButton(QMessageBox::No);
  auto* notAgain = new QCheckBox(QStringLiteral("&Don't ask again"), &box);
  box.setCheckBox(notAgain);
  const auto answer = static_cast<QMessageBox::StandardButton>(box.exec());
  *dontAskAgain = notAgain->isChecked();
  return answer;
}
