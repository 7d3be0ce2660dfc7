// The start-up of the session and its window, the window's part of it, the
// layout kept in the layout file and the usage alerts' notices.
#include "ui/CMainDlg.h"

#include <QEventLoop>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QSettings>
#include <QTableView>
#include <QVBoxLayout>

#include "vocabulary/text_format.h"
#include "ui/CIconButton.h"
#include "ui/GraphArea.h"
#include "ui/NewProgramNotices.h"
#include "ui/ProgramIcons.h"
#include "ui/colour_scheme.h"
#include "ui/TrafficModel.h"
#include "ui/main_window_parts.h"

using namespace main_window;

// ---------------------------------------------------------------- start-up

void StartUp(MonitorSession& session, CMainDlg& window) {
  const MonitorSession::Opened opened = session.Open();
  window.Initialise(opened);
  window.ShowCaptureStart(session.StartCapture());
}

int CMainDlg::exec() {
  // The window runs its own loop rather than QDialog's: a modal dialog
  // blocks the tray icon's menu while it is shown, and a dialog hidden
  // behind its tray never leaves QDialog's loop when done() hides it again.
  QEventLoop loop;
  connect(this, &QDialog::finished, &loop, &QEventLoop::exit);
  show();
  return loop.exec();
}

void CMainDlg::Initialise(const MonitorSession::Opened& opened) {
  if (initialised_) return;
  initialised_ = true;
  corvane::Monitor& m = *monitor_;

  // Controls bound; the template's placeholder readout is emptied.
  summaryLabel_->clear();
  QSettings preferences(LayoutFile(), QSettings::IniFormat);
  UseColours(ColourChoiceOfName(preferences.value(kColoursKey).toString()));

  // Workers talk to the window only through queued calls.
  m.SetErrorHandler([this](const std::string& message) {
    QString text = QString::fromStdString(message);
    QMetaObject::invokeMethod(this, [this, text] { ReportError(text); }, Qt::QueuedConnection);
  });
  m.SetTitleHandler([this](const std::string& title) {
    QString text = QString::fromStdString(title);
    QMetaObject::invokeMethod(this, [this, text] { setWindowTitle(text); }, Qt::QueuedConnection);
  });
  m.SetCaptureStateHandler([this](const corvane::Monitor::CaptureState& state) {
    QMetaObject::invokeMethod(this, [this, state] {
      captureState_ = state;
      ShowCaptureStatus();
    }, Qt::QueuedConnection);
  });
  m.SetRowChangeSink(model_->ChangeSink());

  // The news of programs the history has never seen.
  notices_->SetEnabled(preferences.value(kNotifyNewProgramsKey, true).toBool());
  m.SetNewApplicationHandler([this](const std::string& app, const std::string& name) {
    const QString key = QString::fromStdString(app), text = QString::fromStdString(name);
    QMetaObject::invokeMethod(this, [this, key, text] { notices_->Add(key, text); },
                              Qt::QueuedConnection);
  });
  if (!opened.history) {
    const QString text = QStringLiteral("The traffic history is not kept: %1")
                             .arg(QString::fromStdString(opened.history.reason));
    QMetaObject::invokeMethod(this, [this, text] { ReportError(text); }, Qt::QueuedConnection);
  }
  if (!opened.usageAlerts) ReportUsageAlertsFailure(opened.usageAlerts);

  windowShown_ = true;

  trayAvailable_ = trayOverride_.value_or(QSystemTrayIcon::isSystemTrayAvailable());
  BuildTray();

  const char* icons[5] = {":/icons/save_clear.svg", ":/icons/show_log.svg",
                          ":/icons/delete_logs.svg", ":/icons/options.svg", ":/icons/help.svg"};
  for (int i : {kHelp, kOptions, kSaveClear, kShowLog, kDeleteLogs}) {
    buttons_[i]->AssignIcon(QString::fromLatin1(icons[i]));
  }

  graph_->InitialiseSeries();
  graph_->SetFrozen(m.settings().freezeGraph.load());
  graph_->SetWindowShown(true);
  m.DiscardTick();

  tick_.setInterval(1000);
  connect(&tick_, &QTimer::timeout, this, &CMainDlg::OnTick, Qt::UniqueConnection);
  tick_.start();

  FitColumns();
  RestoreLayout();
  ShowButtonTexts(preferences.value(kButtonTextsKey, false).toBool());
}

void CMainDlg::ShowCaptureStart(const MonitorSession::Started& started) {
  // Why the saved interface is not watched, once the window is up.
  if (!started.notice.empty()) {
    const QString text = QString::fromStdString(started.notice);
    QMetaObject::invokeMethod(
        this,
        [this, text] {
          ShowMessage(QMessageBox::Information, QStringLiteral("Corvane"), text, QMessageBox::Ok);
        },
        Qt::QueuedConnection);
  }
  ReportWatchFailure(started.watching);
}

void CMainDlg::ReportWatchFailure(const corvane::Status& watching) {
  if (watching) return;
  const QString text = QString::fromStdString(watching.reason);
  QMetaObject::invokeMethod(this, [this, text] { ReportError(text); }, Qt::QueuedConnection);
}

void CMainDlg::ReportUsageAlertsFailure(const corvane::Status& failure) {
  ReportError(QStringLiteral("Usage alerts: %1").arg(QString::fromStdString(failure.reason)));
}

void CMainDlg::StartUsageAlerts(corvane::UsageBudget budget) {
  if (corvane::Status started = session_.SetUsageBudget(budget); !started) {
    ReportUsageAlertsFailure(started);
  }
}

void CMainDlg::CheckUsage() {
  std::vector<corvane::UsageAlert> alerts;
  if (corvane::Status kept = session_.CheckUsage(alerts); !kept) ReportUsageAlertsFailure(kept);
  for (const corvane::UsageAlert& alert : alerts) {
    const QString name = QString::fromStdString(alert.name);
    const QString text =
        QStringLiteral("%1 sent and received %2 %3")
            .arg(name, QString::fromStdString(corvane::FormatByteCount(alert.bytes)),
                 alert.period == corvane::UsagePeriod::kDay ? QStringLiteral("today")
                                                            : QStringLiteral("in this hour"));
    const QString title = QStringLiteral("Usage alert");
    usageAlertsShown_ << title + QStringLiteral(": ") + text;
    icons_->WithIcon(QString::fromStdString(alert.app),
                     [this, title, text](const QIcon& icon) { ShowNotice(title, text, icon); });
  }
}

void CMainDlg::RestoreLayout() {
  QSettings layout(LayoutFile(), QSettings::IniFormat);
  // Values of the wrong shape (a damaged or foreign file) are refused by
  // the restore calls and leave the built-in layout.
  restoreGeometry(layout.value(kGeometryKey).toByteArray());
  view_->horizontalHeader()->restoreState(layout.value(kColumnsKey).toByteArray());
  bool ok = false;
  const int column = layout.value(kSortColumnKey).toInt(&ok);
  const bool smallestFirst = layout.value(kSortOrderKey).toString() == QStringLiteral("ascending");
  if (ok && column >= 0 && column < corvane::kColumnCount) {
    SortBy(column, smallestFirst ? corvane::SortDirection::kSmallestFirst
                                 : corvane::SortDirection::kGreatestFirst);
  }
}

void CMainDlg::SaveLayout() {
  QSettings layout(LayoutFile(), QSettings::IniFormat);
  layout.setValue(kGeometryKey, saveGeometry());
  layout.setValue(kColumnsKey, view_->horizontalHeader()->saveState());
  if (sortColumn_ >= 0) {
    layout.setValue(kSortColumnKey, sortColumn_);
    layout.setValue(kSortOrderKey, sortDirection_ == corvane::SortDirection::kSmallestFirst
                                       ? QStringLiteral("ascending")
                                       : QStringLiteral("descending"));
  }
  layout.sync();
}
