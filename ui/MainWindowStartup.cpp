// The main window's start-up sequence, the watched interface's addresses,
// the layout kept in the layout file and the usage alerts.
#include "ui/CMainDlg.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QSettings>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <map>

#include "vocabulary/text_format.h"
#include "platform/interfaces.h"
#include "storage/history_store.h"
#include "ui/CIconButton.h"
#include "ui/GraphArea.h"
#include "ui/NewProgramNotices.h"
#include "ui/ProgramIcons.h"
#include "ui/colour_scheme.h"
#include "ui/TrafficModel.h"
#include "ui/main_window_parts.h"

using namespace main_window;

namespace {

// Each application's bytes since the monitor started, both families together.
std::vector<corvane::UsageCount> UsageTotalsOf(const corvane::Monitor& monitor) {
  std::map<std::string, corvane::UsageCount> byApp;
  for (const corvane::ApplicationBytes& bytes : monitor.ApplicationTotals()) {
    corvane::UsageCount& count = byApp[bytes.app];
    count.app = bytes.app;
    count.name = bytes.name;
    count.bytes += bytes.sentBytes + bytes.receivedBytes;
  }
  std::vector<corvane::UsageCount> totals;
  for (auto& [app, count] : byApp) totals.push_back(std::move(count));
  return totals;
}

}  // namespace

// ---------------------------------------------------------------- start-up

int CMainDlg::exec() {
  Initialise();
  // The window runs its own loop rather than QDialog's: a modal dialog
  // blocks the tray icon's menu while it is shown, and a dialog hidden
  // behind its tray never leaves QDialog's loop when done() hides it again.
  QEventLoop loop;
  connect(this, &QDialog::finished, &loop, &QEventLoop::exit);
  show();
  return loop.exec();
}

void CMainDlg::Initialise() {
  if (initialised_) return;
  initialised_ = true;
  corvane::Monitor& m = *monitor_;

  // Controls bound; the template's placeholder readout is emptied.
  summaryLabel_->clear();
  {
    const QSettings preferences(LayoutFile(), QSettings::IniFormat);
    UseColours(ColourChoiceOfName(preferences.value(kColoursKey).toString()));
  }

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
  // set.dat: the options, the mask and the proxy (resolved once here).
  m.LoadSettingsFile();
  // Remote hosts are named by reverse lookups unless the user said no.
  QSettings preferences(LayoutFile(), QSettings::IniFormat);
  lookUpNames_->store(preferences.value(kLookUpNamesKey, true).toBool());

  // The traffic history, and the news of programs it has never seen.
  notices_->SetEnabled(preferences.value(kNotifyNewProgramsKey, true).toBool());
  m.SetNewApplicationHandler([this](const std::string& app, const std::string& name) {
    const QString key = QString::fromStdString(app), text = QString::fromStdString(name);
    QMetaObject::invokeMethod(this, [this, key, text] { notices_->Add(key, text); },
                              Qt::QueuedConnection);
  });
  if (corvane::HistoryStatus history = m.EnableHistory(folders_.history, HistoryDays(preferences));
      !history) {
    const QString text =
        QStringLiteral("The traffic history is not kept: %1").arg(QString::fromStdString(history.reason));
    QMetaObject::invokeMethod(this, [this, text] { ReportError(text); }, Qt::QueuedConnection);
  }
  StartUsageAlerts(UsageBudgetOf(preferences.value(kUsageDayKey, 0).toInt(),
                                 preferences.value(kUsageHourKey, 0).toInt()));

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

  // The interface saved by Options, while it exists; else the one of the
  // default route, and the user hears why.
  std::string name;
  if (interfaceOverride_) {
    name = *interfaceOverride_;
  } else {
    const auto saved =
        corvane::ReadSettingsFile(folders_.config + "/" + corvane::kSettingsFileName);
    std::string notice;
    name = corvane::ChooseWatchedInterface(saved ? saved->interfaceName : std::string(), notice);
    if (!notice.empty()) {
      const QString text = QString::fromStdString(notice);
      QMetaObject::invokeMethod(
          this,
          [this, text] {
            ShowMessage(QMessageBox::Information, QStringLiteral("Corvane"), text, QMessageBox::Ok);
          },
          Qt::QueuedConnection);
    }
  }
  WatchAddressesOf(name);
  m.Start(name);
}

void CMainDlg::WatchAddressesOf(const std::string& name) {
  if (fixedNetworks_) {
    monitor_->SetLocalNetworks(*fixedNetworks_);
    return;
  }
  corvane::Monitor* monitor = monitor_.get();
  if (corvane::Status watching = addressWatcher_.Start(
          name,
          [monitor](const corvane::LocalNetworks& networks) { monitor->SetLocalNetworks(networks); });
      !watching) {
    const QString text = QString::fromStdString(watching.reason);
    QMetaObject::invokeMethod(this, [this, text] { ReportError(text); }, Qt::QueuedConnection);
  }
}

// The alerts start with the first budget set (at start or in Options): the
// alerts already fired and the history's counts of this day and hour are
// read then.
void CMainDlg::StartUsageAlerts(corvane::UsageBudget budget) {
  if (usageAlerts_) {
    usageAlerts_->SetBudget(budget);
    return;
  }
  if (budget.dayBytes == 0 && budget.hourBytes == 0) return;
  const std::string folder = QFileInfo(QString::fromStdString(folders_.history)).path().toStdString();
  usageAlerts_ = std::make_unique<corvane::UsageAlerts>(folder + "/usage-alerts");
  usageAlerts_->SetBudget(budget);
  if (corvane::Status loaded = usageAlerts_->Load(); !loaded) {
    ReportError(QStringLiteral("Usage alerts: %1").arg(QString::fromStdString(loaded.reason)));
  }
  corvane::HistoryStore store;
  const int64_t now = monitor_->clock().Now();
  if (QFileInfo::exists(QString::fromStdString(folders_.history)) &&
      store.Open(folders_.history, corvane::HistoryStore::Mode::kReadOnly)) {
    for (auto [period, start] : {std::pair{corvane::UsagePeriod::kDay, corvane::LocalDayStart(now)},
                                 std::pair{corvane::UsagePeriod::kHour, corvane::LocalHourStart(now)}}) {
      std::vector<corvane::HistoryTotal> totals;
      if (!store.Totals(corvane::HistoryGrouping::kApp, start, now + 1, totals)) continue;
      std::vector<corvane::UsageCount> counts;
      for (const corvane::HistoryTotal& total : totals) {
        counts.push_back({total.key, total.key, total.sentBytes + total.receivedBytes});
      }
      usageAlerts_->Seed(period, start, counts);
    }
  }
  // What this run counted before now is in the history's counts, apart from
  // the last minute's.
  usageAlerts_->Baseline(UsageTotalsOf(*monitor_));
}

void CMainDlg::CheckUsage() {
  if (!usageAlerts_) return;
  const std::vector<corvane::UsageCount> totals = UsageTotalsOf(*monitor_);
  const int64_t now = monitor_->clock().Now();
  std::vector<corvane::UsageAlert> alerts;
  if (corvane::Status kept = usageAlerts_->Observe(corvane::LocalDayStart(now),
                                                   corvane::LocalHourStart(now), totals, alerts);
      !kept) {
    ReportError(QStringLiteral("Usage alerts: %1").arg(QString::fromStdString(kept.reason)));
  }
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

QString CMainDlg::LayoutFile() const {
  return QString::fromStdString(folders_.config) + QStringLiteral("/corvane.conf");
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
