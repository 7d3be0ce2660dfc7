#include "ui/MonitorSession.h"

#include <QFileInfo>
#include <QSettings>
#include <map>
#include <utility>

#include "storage/settings.h"
#include "engine/wiring.h"
#include "platform/interfaces.h"
#include "storage/history_store.h"
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

MonitorSession::MonitorSession(corvane::DataFolders folders)
    : folders_(std::move(folders)),
      monitor_(std::make_unique<corvane::Monitor>(corvane::Env::Default(), folders_.config)) {
  WireMonitor();
}

MonitorSession::MonitorSession(corvane::Env& env, std::string dataDirectory)
    : folders_{dataDirectory, dataDirectory, dataDirectory + "/" + corvane::kHistoryFileName},
      monitor_(std::make_unique<corvane::Monitor>(env, std::move(dataDirectory))) {
  WireMonitor();
}

MonitorSession::~MonitorSession() { Stop(); }

void MonitorSession::Stop() {
  addressWatcher_.Stop();
  monitor_->Stop();
}

QString MonitorSession::PreferencesFile() const {
  return QString::fromStdString(folders_.config) + QStringLiteral("/corvane.conf");
}

// No capability here: capture runs in the capture helper. Why it could not
// start (not installed, not in its group) is told through the monitor's
// error handler; a helper that stops while capturing is told once through
// the helper events, and the capture thread starts a new one.
void MonitorSession::WireMonitor() {
  corvane::HelperCaptureOptions helper;
  helper.onStopped = [this](const std::string& reason) {
    if (helperEvents_.stopped) helperEvents_.stopped(reason);
  };
  helper.onReady = [this](corvane::capture::AttributionMode mode) {
    if (helperEvents_.ready) helperEvents_.ready(mode);
  };
  corvane::LiveWiring wiring;
  wiring.helper = std::move(helper);
  // Save & Clear and the midnight step write the rows to a new traffic log
  // in the log folder before anything is emptied.
  wiring.logFolder = folders_.logs;
  // The user may turn the lookups off and on while the program runs.
  wiring.namesWanted = lookUpNames_;
  // Nothing is opened now: capture opens in StartCapture().
  (void)corvane::WireLiveMonitor(*monitor_, std::move(wiring));
}

MonitorSession::Opened MonitorSession::Open() {
  Opened opened;
  monitor_->LoadSettingsFile();
  // Remote hosts are named by reverse lookups unless the user said no.
  const QSettings preferences(PreferencesFile(), QSettings::IniFormat);
  lookUpNames_->store(preferences.value(kLookUpNamesKey, true).toBool());
  opened.history = monitor_->EnableHistory(folders_.history, HistoryDays(preferences));
  opened.usageAlerts = SetUsageBudget(UsageBudgetOf(preferences.value(kUsageDayKey, 0).toInt(),
                                                    preferences.value(kUsageHourKey, 0).toInt()));
  return opened;
}

MonitorSession::Started MonitorSession::StartCapture() {
  Started started;
  std::string name;
  if (interfaceOverride_) {
    name = *interfaceOverride_;
  } else {
    const auto saved =
        corvane::ReadSettingsFile(folders_.config + "/" + corvane::kSettingsFileName);
    name = corvane::ChooseWatchedInterface(saved ? saved->interfaceName : std::string(),
                                           started.notice);
  }
  started.watching = WatchAddressesOf(name);
  monitor_->Start(name);
  return started;
}

corvane::Status MonitorSession::WatchAddressesOf(const std::string& name) {
  if (fixedNetworks_) {
    monitor_->SetLocalNetworks(*fixedNetworks_);
    return corvane::Status::Ok();
  }
  corvane::Monitor* monitor = monitor_.get();
  return addressWatcher_.Start(
      name, [monitor](const corvane::LocalNetworks& networks) { monitor->SetLocalNetworks(networks); });
}

corvane::Status MonitorSession::SetUsageBudget(corvane::UsageBudget budget) {
  if (usageAlerts_) {
    usageAlerts_->SetBudget(budget);
    return corvane::Status::Ok();
  }
  if (budget.dayBytes == 0 && budget.hourBytes == 0) return corvane::Status::Ok();
  const std::string folder = QFileInfo(QString::fromStdString(folders_.history)).path().toStdString();
  usageAlerts_ = std::make_unique<corvane::UsageAlerts>(folder + "/usage-alerts");
  usageAlerts_->SetBudget(budget);
  const corvane::Status loaded = usageAlerts_->Load();
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
  return loaded;
}

corvane::Status MonitorSession::CheckUsage(std::vector<corvane::UsageAlert>& alerts) {
  if (!usageAlerts_) return corvane::Status::Ok();
  const int64_t now = monitor_->clock().Now();
  return usageAlerts_->Observe(corvane::LocalDayStart(now), corvane::LocalHourStart(now),
                               UsageTotalsOf(*monitor_), alerts);
}
